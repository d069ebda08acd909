// zol_mew._codec: the frame codec exposed to the test suite, so that the
// Python tests can check documented frames and feed the decoder arbitrary
// bytes. Not part of the public interface. Stations go through the bindings'
// one conversion, so that any int reaches the codec's own check.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "mew/protocol/address.hpp"
#include "mew/protocol/frame_codec.hpp"
#include "mew/python/bindings.hpp"
#include "mew/python/checked_int.hpp"

namespace py = pybind11;
namespace protocol = mew::protocol;

namespace mew::python {
namespace {

const char* status_name(protocol::DecodeStatus s) {
  switch (s) {
    case protocol::DecodeStatus::kFrame:
      return "frame";
    case protocol::DecodeStatus::kNeedMore:
      return "need_more";
    case protocol::DecodeStatus::kSkippedGarbage:
      return "skipped_garbage";
    case protocol::DecodeStatus::kBadChecksum:
      return "bad_checksum";
    case protocol::DecodeStatus::kMalformed:
      return "malformed";
  }
  return "?";
}

py::dict frame_dict(const protocol::Frame& f) {
  py::dict d;
  d["kind"] = f.kind == protocol::FrameKind::kRequest ? "request" : "reply";
  d["station"] = f.station;
  d["command"] = f.command;
  d["tag"] = std::string(f.tag == 0 ? 0 : 1, f.tag);
  d["body"] = f.body;
  d["error_code"] = f.error_code;
  return d;
}

protocol::Frame frame_from(const py::int_& station, const std::string& command,
                           const std::string& tag, const std::string& body) {
  protocol::Frame f;
  f.station = station_of(station);
  f.command = command;
  f.tag = tag.size() == 1 ? tag[0] : 0;
  f.body = body;
  return f;
}

protocol::Command command_of(const std::string& code) {
  protocol::Command c;
  if (!protocol::command_from_code(code, &c))
    throw std::invalid_argument("unknown command " + code);
  return c;
}

}  // namespace

void bind_codec(py::module_& parent) {
  py::module_ m = parent.def_submodule("_codec", "Frame codec, for tests.");
  m.attr("MAX_FRAME_LENGTH") = protocol::kMaxFrameLength;

  m.def("decode", [](const py::bytes& data) {
    const std::string_view view = data;
    const protocol::DecodeResult r = protocol::decode(view);
    const bool has_frame = r.status == protocol::DecodeStatus::kFrame || r.header_valid;
    return py::make_tuple(status_name(r.status), r.consumed,
                          has_frame ? py::object(frame_dict(r.frame)) : py::object(py::none()));
  });
  m.def("checksum",
        [](const py::bytes& data) { return protocol::checksum(std::string_view(data)); });
  m.def(
      "encode_request",
      [](const py::int_& station, const std::string& tag, const std::string& command,
         const std::string& device, int number, int count, std::vector<std::uint16_t> words,
         bool coil) {
        protocol::Request r;
        r.command = command_of(command);
        r.device = device.size() == 1 ? device[0] : '?';
        r.number = number;
        r.count = count;
        r.words = std::move(words);
        r.coil = coil;
        return py::bytes(
            protocol::encode_request(station_of(station), tag.size() == 1 ? tag[0] : 0, r));
      },
      py::arg("station"), py::arg("tag"), py::arg("command"), py::arg("device"), py::arg("number"),
      py::arg("count") = 0, py::arg("words") = std::vector<std::uint16_t>{},
      py::arg("coil") = false);
  m.def("parse_request", [](const py::int_& station, const std::string& command,
                            const std::string& tag, const std::string& body) {
    const protocol::ParsedRequest p =
        protocol::parse_request(frame_from(station, command, tag, body));
    py::dict d;
    d["command"] = std::string(protocol::command_code(p.request.command));
    d["device"] = std::string(1, p.request.device);
    d["number"] = p.request.number;
    d["count"] = p.request.count;
    d["words"] = p.request.words;
    d["coil"] = p.request.coil;
    return py::make_tuple(p.error, p.error == 0 ? py::object(d) : py::object(py::none()));
  });
  m.def("encode_reply", [](const py::int_& station, const std::string& command,
                           const std::string& tag, const std::string& data) {
    return py::bytes(
        protocol::encode_reply(station_of(station), command, tag.size() == 1 ? tag[0] : 0, data));
  });
  m.def("encode_error_reply",
        [](const py::int_& station, const std::string& command, const std::string& tag, int code) {
          return py::bytes(protocol::encode_error_reply(station_of(station), command,
                                                        tag.size() == 1 ? tag[0] : 0, code));
        });
  m.def("parse_address", [](const std::string& text) -> py::object {
    std::string why;
    const auto a = protocol::parse_address(text, &why);
    if (!a) return py::str(why);
    const char* kind = a->kind == protocol::AddressKind::kDataRegister ? "data"
                       : a->kind == protocol::AddressKind::kCoil       ? "coil"
                                                                       : "word";
    return py::make_tuple(kind, std::string(1, a->device), a->number);
  });
}

}  // namespace mew::python
