// SPDX-License-Identifier: MIT
// Reads QEMU's trace of I/O writes (event memory_region_ops_write, log
// backend, with time stamps) from the kernel test's boot and tells what the
// modem outputs did while each command inside the VM ran: those of the
// second UART (8250 machine), or those of the USB serial adapter, from its
// control requests (usb_serial_handle_control, FTDI machine).
//
//   kernel_uart_trace TRACE
//
// The VM writes "begin CASE" and "end CASE" lines to the debug console at
// port 0xe9; every write to ttyS1's modem-control register (0x2fc) between
// them belongs to CASE. For each case one JSON object is printed on a line
// of its own: the word before the case, the changes of RTS (data) and DTR
// (clock), the frames and faults that relka's own decoder finds in them, and
// any byte written to the transmit register (0x2f8 with DLAB clear), and the
// adapter's modem-control requests and modem-status reads (each a USB
// control transfer). A last object sums up what happened outside the cases.
#include <nlohmann/json.hpp>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/line_change.h"

namespace {

constexpr std::uint64_t debug_port = 0xe9;
constexpr std::uint64_t uart_base = 0x2f8;  // ttyS1
constexpr std::uint64_t uart_thr = uart_base + 0;
constexpr std::uint64_t uart_lcr = uart_base + 3;
constexpr std::uint64_t uart_mcr = uart_base + 4;
constexpr std::uint64_t lcr_dlab = 0x80;
constexpr std::uint64_t mcr_dtr = 0x01;
constexpr std::uint64_t mcr_rts = 0x02;
constexpr std::uint64_t mcr_loop = 0x10;
// FTDI vendor requests, as QEMU's usb-serial logs them: request type << 8
// | request. Setting the modem control carries a mask of the lines it sets
// in its high byte and their levels in its low byte.
constexpr unsigned usb_set_address = 0x0005;
constexpr unsigned ftdi_set_modem_control = 0x4001;
constexpr unsigned ftdi_get_modem_status = 0xc005;
constexpr unsigned ftdi_dtr = 0x01;
constexpr unsigned ftdi_rts = 0x02;

struct io_write {
  std::int64_t usec = 0;
  std::uint64_t addr = 0;
  std::uint64_t value = 0;
};

// The time stamp after the '@' before `event`; 0 without one.
std::int64_t stamp_of(const std::string& line, std::size_t event) {
  const auto at = line.find('@');
  if (at == std::string::npos || at > event) return 0;
  char* end = nullptr;
  const long long seconds = std::strtoll(line.c_str() + at + 1, &end, 10);
  if (end == nullptr || *end != '.') return 0;
  return seconds * 1000000 + std::strtoll(end + 1, nullptr, 10);
}

// "1234@1700000000.123456:memory_region_ops_write cpu 0 mr 0x... addr 0x2fc
// value 0xb size 1 name 'serial'". Lines of other events, or without a time
// stamp, are not ours (the time is then left at 0).
bool parse_write(const std::string& line, io_write& out) {
  const auto event = line.find(":memory_region_ops_write ");
  const auto addr = line.find(" addr 0x");
  const auto value = line.find(" value 0x");
  if (event == std::string::npos || addr == std::string::npos ||
      value == std::string::npos)
    return false;
  out.addr = std::strtoull(line.c_str() + addr + 8, nullptr, 16);
  out.value = std::strtoull(line.c_str() + value + 9, nullptr, 16);
  out.usec = stamp_of(line, event);
  return true;
}

struct usb_control {
  std::int64_t usec = 0;
  unsigned request = 0;
  unsigned value = 0;
};

// "1234@1700000000.123456:usb_serial_handle_control dev 0:1 got control
// 0x4001, value 0x301".
bool parse_control(const std::string& line, usb_control& out) {
  const auto event = line.find(":usb_serial_handle_control ");
  const auto request = line.find(" got control 0x");
  const auto value = line.find(", value 0x");
  if (event == std::string::npos || request == std::string::npos ||
      value == std::string::npos)
    return false;
  out.request = static_cast<unsigned>(
      std::strtoul(line.c_str() + request + 15, nullptr, 16));
  out.value = static_cast<unsigned>(
      std::strtoul(line.c_str() + value + 10, nullptr, 16));
  out.usec = stamp_of(line, event);
  return true;
}

// The word after an FTDI modem-control request: the lines in its mask take
// their levels, the others keep theirs.
int ftdi_word(int word, unsigned value) {
  const unsigned mask = value >> 8;
  if ((mask & ftdi_dtr) != 0)
    word = (value & ftdi_dtr) != 0 ? word | TIOCM_DTR : word & ~TIOCM_DTR;
  if ((mask & ftdi_rts) != 0)
    word = (value & ftdi_rts) != 0 ? word | TIOCM_RTS : word & ~TIOCM_RTS;
  return word;
}

// The levels on the connector: in loopback the outputs are held inactive.
int line_word(std::uint64_t mcr) {
  if ((mcr & mcr_loop) != 0) return 0;
  return ((mcr & mcr_dtr) != 0 ? TIOCM_DTR : 0) |
         ((mcr & mcr_rts) != 0 ? TIOCM_RTS : 0);
}

// The trace shows register writes and control requests only. The 8250 and
// ftdi_sio drivers raise DTR and RTS together when a descriptor is opened
// and drop them together at the last close (HUPCL); relka moves one line per
// write. So a change of both lines
// from both low to both high is taken as an open, the reverse as a close,
// and anything else as the port's own write.
line_change::cause_kind cause_of(int before, int after) {
  const int both = TIOCM_DTR | TIOCM_RTS;
  if (before == 0 && after == both) return line_change::driver_open;
  if (before == both && after == 0) return line_change::driver_close;
  return line_change::port_write;
}

struct trace_case {
  std::string name;
  int initial_word = 0;
  std::vector<line_change> changes;
  std::vector<int> data_bytes;
  int mcr_writes = 0;    // also those that left both lines as they were
  int modem_writes = 0;  // FTDI modem-control requests
  int modem_reads = 0;   // FTDI modem-status reads
  bool ended = false;  // its "end" line came (the VM did not stop inside)
};

nlohmann::json case_json(const trace_case& c) {
  nlohmann::json changes = nlohmann::json::array();
  for (const line_change& change : c.changes)
    changes.push_back({{"usec", change.usec},
                       {"dtr", change.dtr()},
                       {"rts", change.rts()},
                       {"cause", cause_name(change.cause)}});
  const decoded_line decoded = decode_frames(c.changes, c.initial_word);
  nlohmann::json frames = nlohmann::json::array();
  for (const decoded_frame& frame : decoded.frames)
    frames.push_back({{"box_address", frame.box_address()},
                      {"address_byte", frame.address_byte},
                      {"read", frame.read},
                      {"data", frame.data},
                      {"first_change", frame.first_change},
                      {"last_change", frame.last_change}});
  nlohmann::json faults = nlohmann::json::array();
  for (const frame_fault& fault : decoded.faults)
    faults.push_back({{"change", fault.change}, {"what", fault.what}});
  return {{"case", c.name},
          {"initial_dtr", (c.initial_word & TIOCM_DTR) != 0},
          {"initial_rts", (c.initial_word & TIOCM_RTS) != 0},
          {"changes", changes},
          {"frames", frames},
          {"faults", faults},
          {"data_bytes", c.data_bytes},
          {"mcr_writes", c.mcr_writes},
          {"modem_writes", c.modem_writes},
          {"modem_reads", c.modem_reads},
          {"ended", c.ended}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: kernel_uart_trace TRACE\n";
    return 2;
  }
  std::ifstream trace(argv[1]);
  if (!trace) {
    std::cerr << "kernel_uart_trace: cannot read " << argv[1] << '\n';
    return 2;
  }
  std::uint64_t lcr = 0;
  int word = 0;
  std::int64_t first_usec = -1;
  std::int64_t first_mark_usec = -1;  // the boot: until /init speaks
  std::string marker;      // the debug console's line so far
  bool in_case = false;
  trace_case current;
  trace_case outside;      // everything between the cases
  std::size_t cases = 0;
  std::string line;
  // A change of the word, by whichever machine's line.
  auto change_to = [&](trace_case& into, int after, std::int64_t usec) {
    if (after == word) return;
    line_change change;
    change.usec = usec - first_usec;
    change.word = after;
    change.cause = cause_of(word, after);
    into.changes.push_back(change);
    word = after;
  };
  while (std::getline(trace, line)) {
    usb_control control;
    if (parse_control(line, control)) {
      if (first_usec < 0) first_usec = control.usec;
      trace_case& into = in_case ? current : outside;
      // An adapter being given its address is one just plugged in, whose
      // outputs are inactive.
      if (control.request == usb_set_address) word = 0;
      if (control.request == ftdi_get_modem_status) ++into.modem_reads;
      if (control.request == ftdi_set_modem_control) {
        ++into.modem_writes;
        change_to(into, ftdi_word(word, control.value), control.usec);
      }
      continue;
    }
    io_write w;
    if (!parse_write(line, w)) continue;
    if (first_usec < 0) first_usec = w.usec;
    if (w.addr == debug_port) {
      if (first_mark_usec < 0) first_mark_usec = w.usec - first_usec;
      if (w.value != '\n') {
        marker += static_cast<char>(w.value);
        continue;
      }
      if (marker.rfind("begin ", 0) == 0) {
        if (in_case) std::cout << case_json(current) << '\n';
        current = trace_case{};
        current.name = marker.substr(6);
        current.initial_word = word;
        in_case = true;
        ++cases;
      } else if (marker.rfind("end ", 0) == 0 && in_case &&
                 marker.substr(4) == current.name) {
        current.ended = true;
        std::cout << case_json(current) << '\n';
        in_case = false;
      }
      marker.clear();
      continue;
    }
    trace_case& into = in_case ? current : outside;
    if (w.addr == uart_lcr) {
      lcr = w.value;
    } else if (w.addr == uart_thr && (lcr & lcr_dlab) == 0) {
      into.data_bytes.push_back(static_cast<int>(w.value));
    } else if (w.addr == uart_mcr) {
      ++into.mcr_writes;
      change_to(into, line_word(w.value), w.usec);
    }
  }
  if (in_case) std::cout << case_json(current) << '\n';
  std::cout << nlohmann::json{{"outside_changes", outside.changes.size()},
                              {"outside_data_bytes", outside.data_bytes},
                              {"cases", cases},
                              {"boot_usec", first_mark_usec}}
            << '\n';
  return 0;
}
