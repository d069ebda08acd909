// Starting homing runs on threads, asking for them and collecting them.
#include "controller/attributes.hpp"
#include "controller/operations.hpp"
#include "homing/run_records.hpp"
#include "module/call_support.hpp"
#include "module/enumerations.hpp"
#include "module/python_compat.hpp"

namespace kov {

namespace {

const Name kTarget{"target"};
const Name kArgs{"args"};
const Name kStart{"start"};
const Name kJoin{"join"};
const Name kIsAlive{"is_alive"};
const Name kPop{"pop"};
const Name kSleepFunction{"sleep"};  // of the time module

constexpr Param kStartVelocity{"start_velocity", Accept::Float, "float"};
constexpr Param kVelocity{"velocity", Accept::Float, "float"};
constexpr Param kAccelerationTime{"acceleration_time", Accept::Float, "float"};
constexpr Param kDirection{"direction", Accept::Any, "Direction",
                           Default::enum_member(direction::kNegative)};
constexpr Param kTimeout{"timeout", Accept::OptionalExactFloat, "_Optional[float]",
                         Default::none()};

using FindOArgs = Args<kStation, kStartVelocity, kVelocity, kAccelerationTime, kDirection>;

// Registers `station` unless it already is, in one step: with the station an int and the
// registry a dict, nothing between the test and the insertion lets another thread run.
// The placeholder None reads as "not yet collectable" to wait_for_find_o_finish.
int reserve(PyObject* threads, PyObject* station) {
  const int taken = PySequence_Contains(threads, station);
  if (taken != 0) return taken < 0 ? -1 : 0;
  return PyObject_SetItem(threads, station, Py_None) < 0 ? -1 : 1;
}

// Undoes a registration whose run never started, so the station does not stay "homing".
void release(PyObject* threads, PyObject* station, PyObject* entry) {
  SavedError failure;
  PyObject* current = PyDict_Check(threads) ? PyDict_GetItemWithError(threads, station) : entry;
  if (current == entry && PyObject_DelItem(threads, station) < 0) PyErr_Clear();
  PyErr_Clear();
  failure.restore();
}

// The limit that the first stage drives into must be enabled: false, with AssertionError
// `refusal` when `is_disabled(station)` answers true.
bool limit_enabled(const Call& c, PyObject* station, const Operation& is_disabled,
                   const char* refusal) {
  Ref disabled = call_own(c, is_disabled, {station});
  const int off = disabled ? PyObject_IsTrue(disabled.get()) : -1;
  if (off > 0) raise_text(PyExc_AssertionError, refusal);
  return off == 0;
}

// The disabled-limit checks: raised always, not only with assertions enabled.
bool limit_allows(const Call& c, PyObject* station, PyObject* direction) {
  Ref method = attribute(c.self(), kFindingOMethodGet.key);
  const int limit_first =
      method ? is(c, method.get(), finding_o_method::kLimitFirstThenBackward) : -1;
  if (limit_first <= 0) return limit_first == 0;
  const int negative = is(c, direction, direction::kNegative);
  if (negative < 0) return false;
  if (negative)
    return limit_enabled(c, station, kNegativeLimitIsDisabled,
                         "禁用了负极限，却往负方向找原点。可能需要把找原点方式改为只使用原点信号");
  const int positive = is(c, direction, direction::kPositive);
  if (positive <= 0) return positive == 0;
  return limit_enabled(c, station, kPositiveLimitIsDisabled,
                       "禁用了正极限，却往正方向找原点。可能需要把找原点方式改为只使用原点信号");
}

// Thread.start() can fail after it has spawned the thread: Ctrl-C while it waits for the
// thread to run. That run goes on and will drive the axis, so it must stay registered, for
// the caller's stop and collection to see it. The threading module lists a spawned thread
// from the moment it is spawned until it ends.
bool thread_was_spawned(PyObject* thread) {
  SavedError pending;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref listed =
      threading ? Ref::steal(PyObject_CallMethod(threading.get(), "enumerate", nullptr)) : Ref();
  const int found = listed ? PySequence_Contains(listed.get(), thread) : -1;
  PyErr_Clear();
  pending.restore();
  return found > 0;
}

// How long a thread that threading lists but has not marked started may take to run for
// the first time (it needs the GIL, which the wait below gives up between tries).
constexpr double kFirstRunWait = 1.0;
constexpr double kFirstRunPoll = 0.001;

// Waits until `thread` has marked itself started, which a spawned thread does first thing:
// until then Thread.join() refuses it, and the caller's collection would fail. False when it
// does not within kFirstRunWait: then it was listed but never spawned (Ctrl-C between the
// two steps of Thread.start()). The exception pending at the call stays pending.
bool wait_until_started(PyObject* thread) {
  SavedError pending;
  Ref time_module = Ref::steal(PyImport_ImportModule("time"));
  Ref sleep = time_module ? attribute(time_module.get(), kSleepFunction) : Ref();
  Ref zero = real(0.0);
  Ref pause = real(kFirstRunPoll);
  bool started = false;
  for (int tries = static_cast<int>(kFirstRunWait / kFirstRunPoll);
       sleep && zero && pause && tries > 0; --tries) {
    if (call_method(thread, kJoin, {zero.get()})) {
      started = true;
      break;
    }
    if (!PyErr_ExceptionMatches(PyExc_RuntimeError)) break;  // not "before it is started"
    PyErr_Clear();
    if (!call(sleep.get(), {pause.get()})) break;
  }
  PyErr_Clear();
  pending.restore();
  return started;
}

// Everything after the registration; on failure the caller releases it unless the thread
// was started (`start_called`) and runs.
bool start_run(const FindOArgs& a, PyObject* threads, Ref& entry, bool& start_called) {
  PyObject* station = a.arg<kStation>();
  PyObject* direction = a.arg<kDirection>();
  Ref start_velocity = real(a.real<kStartVelocity>());
  Ref velocity = real(a.real<kVelocity>());
  Ref acceleration_time = real(a.real<kAccelerationTime>());
  if (!start_velocity || !velocity || !acceleration_time || !limit_allows(a, station, direction) ||
      !call_own(a, kSetParameters,
                {station, start_velocity.get(), velocity.get(), acceleration_time.get()}))
    return false;
  Ref thread_type = global(a, globals::kThread);
  Ref target = thread_type ? attribute(a.self(), kFindOThreadFunc.key) : Ref();
  Ref args = target ? Ref::steal(PyTuple_Pack(2, station, direction)) : Ref();
  Ref thread = args ? call_with_keywords(thread_type.get(), {},
                                         {{kTarget, target.get()}, {kArgs, args.get()}})
                    : Ref();
  if (!thread || !homing::open_record(a, thread.get(), target.get()) ||
      PyObject_SetItem(threads, station, thread.get()) < 0)
    return false;
  entry = thread;
  if (!log_info(a, {"Start finding o, station ", station})) return false;
  start_called = true;
  return static_cast<bool>(call_method(thread.get(), kStart, {}));
}

Ref find_o(const FindOArgs& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* direction = a.arg<kDirection>();
  if (compat::assertions_enabled()) {
    Ref directions = global(a, globals::kDirection);
    const int known = directions ? PyObject_IsInstance(direction, directions.get()) : -1;
    if (known < 0) return {};
    if (!known) return assertion_failed();
  }
  Ref threads = attribute(a.self(), attributes::kFindOThreads);
  const int reserved = threads ? reserve(threads.get(), station) : -1;
  if (reserved < 0) return {};
  if (reserved == 0) {
    Ref format = Ref::steal(PyUnicode_FromString("Axis %d has been finding o."));
    Ref message = format ? Ref::steal(PyUnicode_Format(format.get(), station)) : Ref();
    if (message) PyErr_SetObject(PyExc_BlockingIOError, message.get());
    return {};
  }
  Ref entry = Ref::none();
  bool start_called = false;
  if (!start_run(a, threads.get(), entry, start_called)) {
    if (!start_called || !thread_was_spawned(entry.get()) || !wait_until_started(entry.get()))
      release(threads.get(), station, entry.get());
    return {};
  }
  return Ref::none();
}

Ref is_finding_o(const StationArgs& a) {
  Ref threads = attribute(a.self(), attributes::kFindOThreads);
  const int found = threads ? PySequence_Contains(threads.get(), a.arg<kStation>()) : -1;
  if (found < 0) return {};
  return Ref::boolean(found != 0);
}

// The run on a thread of its own ends when it says so: after an interrupted join, 3.9 to
// 3.12 report its thread ended while it still runs. The join then only waits out the
// thread's own clean-up. 1 ended, 0 not yet, -1 on error.
int run_ended(PyObject* record, PyObject* thread, PyObject* timeout) {
  const int ended = homing::wait_for_end(record, timeout);
  if (ended <= 0) return ended;
  return call_method(thread, kJoin, {timeout}) ? 1 : -1;
}

// Any other thread (a replaced `_Thread` or target) has ended when it is no longer alive.
int thread_ended(PyObject* thread, PyObject* timeout) {
  if (!call_method(thread, kJoin, {timeout})) return -1;
  Ref alive = call_method(thread, kIsAlive, {});
  const int running = alive ? PyObject_IsTrue(alive.get()) : -1;
  return running < 0 ? -1 : !running;
}

Ref wait_for_find_o_finish(const Args<kStation, kTimeout>& a) {
  PyObject* station = a.arg<kStation>();
  PyObject* timeout = a.arg<kTimeout>();
  Ref threads = attribute(a.self(), attributes::kFindOThreads);
  Ref thread = threads ? call_method(threads.get(), kGetMethod, {station}) : Ref();
  if (!thread) return {};
  if (thread.get() == Py_None)
    return raise_text(PyExc_ValueError, "Axis is not finding origin point, or has been waited.");
  Ref record = homing::record_of(a, thread.get());
  if (!record) return {};
  const bool own_run = record.get() != Py_None;
  const int ended = own_run ? run_ended(record.get(), thread.get(), timeout)
                            : thread_ended(thread.get(), timeout);
  if (ended < 0) return {};
  if (!ended) {
    if (!log_error(a, {"Wait for finding O timeout, station ", station})) return {};
    return Ref::none();
  }
  if (!call_method(threads.get(), kPop, {station})) return {};
  Ref stop_source = call_own(a, kGetStopSource, {station});
  if (!stop_source ||
      !log_info(a, {"Wait for finding O done. Station ", station, ", source ", stop_source}))
    return {};
  // A run whose step raised has not set the origin, whatever the stop source shows.
  if (own_run && homing::failed(record.get())) return Ref::boolean(false);
  Ref origin = member(a, stop_source::kOrigin);
  return origin ? Ref::steal(PyObject_RichCompare(stop_source.get(), origin.get(), Py_EQ)) : Ref();
}

}  // namespace

const Operation kFindO =
    row<find_o>("find_o",
                "\n\t\t以指定的速度参数执行找原点动作。"
                "\n\t\t执行 find_o 函数，以寻找原点后，必须要在某个时间调用 wait_for_find_o_finish "
                "函数以查询找原点的结果"
                "\n\t\t这是一个强制性的要求，以防止因为找原点失败而引起各种问题。"
                "\n\t\twait_for_find_o_finish 的使用说明请参见其函数本体说明。"
                "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
                "\n\t\t:param start_velocity: 梯形速度曲线的起始速度"
                "\n\t\t:param velocity: 梯形速度曲线匀速段的速度值"
                "\n\t\t:param acceleration_time: 梯形速度曲线加速段的时间跨度，单位：s（秒）"
                "\n\t\t:param direction: "
                "找原点时开始运动的方向。如果往这个方向碰到了限位感应器，会自动往反方向继续找"
                "\n\t\t");
const Operation kIsFindingO =
    row<is_finding_o>("is_finding_o",
                      "\n\t\t当前轴是否在找原点过程中。如果是，返回 True；否则，返回 False"
                      "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
                      "\n\t\t");
const Operation kWaitForFindOFinish = row<wait_for_find_o_finish>(
    "wait_for_find_o_finish",
    "\n\t\t等待某轴找原点结束，并返回找原点的结果。有以下几种情况："
    "\n\t\t1. 提供了一个有效的超时参数 timeout"
    "\n\t\t\t1)找原点动作未能在超时前结束，函数返回 None"
    "\n\t\t\t2)在超时前顺利找到了原点，函数返回 True"
    "\n\t\t\t3)在超时前找原点动作已经结束，但没有找到原点，函数返回 False"
    "\n\t\t2. 未提供 timeout 参数，或所提供参数是 None，等待，直到..."
    "\n\t\t\t1)顺利找到了原点，返回 True"
    "\n\t\t\t2)两边限位都碰过了，没找到原点，返回 False"
    "\n\t\t\t3)以上两点都没有发生，将一直等待"
    "\n"
    "\n\t\t找原点过程中可能引起异常的情况有："
    "\n\t\t1. 通讯失败，无法获取轴状态"
    "\n\t\t2. 轴的报警信号输入有效"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t:param timeout: 等待的超时时间，单位：秒(second)"
    "\n\t\t");

}  // namespace kov
