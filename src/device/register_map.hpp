// The motion module's registers and coils, as the controller addresses them through the
// master. Every operation takes its address from here.
#pragma once

#include "module/py_ref.hpp"

namespace kov::device {

enum class Signedness : unsigned char { Signed, Unsigned, None };

struct Address {
  Name text;  // the address string passed to the master
  int bits;   // width of the value: 32 for data-register pairs, 1 for coils
  Signedness signedness;
};

// Data registers: every quantity is 32 bits wide and occupies registers n and n+1.
inline const Address kStartVelocity{Name("DT0"), 32, Signedness::Unsigned};     // pulses/s
inline const Address kVelocity{Name("DT2"), 32, Signedness::Unsigned};          // pulses/s
inline const Address kAccelerationTime{Name("DT4"), 32, Signedness::Unsigned};  // ms
inline const Address kAbsoluteTarget{Name("DT6"), 32, Signedness::Signed};      // pulses
inline const Address kRelativeTarget{Name("DT8"), 32, Signedness::Signed};      // pulses
inline const Address kPosition{Name("DT10"), 32, Signedness::Signed};  // pulses; status block
// Data register 20 written without the T, as the module's documentation names it.
inline const Address kStopSource{Name("D20"), 32, Signedness::Signed};

// Command relays: each command is one write of True.
inline const Address kStopCommand{Name("R0"), 1, Signedness::None};
inline const Address kLocateAbsolutelyCommand{Name("R1"), 1, Signedness::None};
inline const Address kLocateRelativelyCommand{Name("R2"), 1, Signedness::None};
inline const Address kRunNegativeCommand{Name("R3"), 1, Signedness::None};
inline const Address kRunPositiveCommand{Name("R4"), 1, Signedness::None};
inline const Address kFindOriginNegativeCommand{Name("R5"), 1, Signedness::None};
inline const Address kFindOriginPositiveCommand{Name("R6"), 1, Signedness::None};

// Configuration relays: True means the switch is on (rising edge, input disabled, inverted).
inline const Address kOriginRisingEdge{Name("R10"), 1, Signedness::None};
inline const Address kNegativeLimitDisabled{Name("R12"), 1, Signedness::None};
inline const Address kPositiveLimitDisabled{Name("R13"), 1, Signedness::None};
inline const Address kAlarmDisabled{Name("R14"), 1, Signedness::None};
inline const Address kEmergencyDisabled{Name("R15"), 1, Signedness::None};
inline const Address kDirectionOutputReversed{Name("R16"), 1, Signedness::None};

// Inputs and outputs.
inline const Address kOriginInput{Name("X0"), 1, Signedness::None};
inline const Address kNegativeLimitInput{Name("X1"), 1, Signedness::None};
inline const Address kPositiveLimitInput{Name("X2"), 1, Signedness::None};
inline const Address kEmergencyInput{Name("X3"), 1, Signedness::None};
inline const Address kAlarmInput{Name("X4"), 1, Signedness::None};
inline const Address kRunningOutput{Name("Y1"), 1, Signedness::None};
inline const Address kAxisEnableOutput{Name("Y2"), 1, Signedness::None};

// The status block: 11 signed 32-bit values read in one transfer at kPosition.
constexpr long kStatusBlockLength = 11;
constexpr long kBlockPosition = 0;
constexpr long kBlockEncoderPosition = 1;
constexpr long kBlockVelocity = 2;
constexpr long kBlockInputsOutputs = 3;
constexpr long kBlockStopSource = 5;
// Only the low byte of the stop-source pair is the code in the status words.
constexpr long kStopSourceCodeMask = 255;

// Bits of the input/output image (status word 3): inputs in the low word, outputs in the
// high word.
constexpr long kOriginMask = 1;         // X0
constexpr long kNegativeLimitMask = 2;  // X1
constexpr long kPositiveLimitMask = 4;  // X2
constexpr long kEmergencyMask = 8;      // X3
constexpr long kAlarmMask = 16;         // X4
constexpr long kOutputShift = 16;
constexpr long kRunningMask = 2;  // Y1, after the shift

}  // namespace kov::device
