// SPDX-License-Identifier: MIT
// Remembered outlet state: the mask last sent to one box, because the box
// cannot be read back.
//
// One small text file per adapter and box address in the state folder,
// named "<identity>.box<address>" after the adapter's identity (its
// /dev/serial/by-id name, else the terminal's own name; see adapter.h), so
// that every path that reaches the adapter shares it, and a box's state
// follows its adapter to whatever ttyUSB number it gets. The identity is
// recorded inside too: a file whose identity is not the adapter's now (one
// written before identities were recorded, under the terminal's name) is
// never applied.
//
// A switch marks itself in the file before the first change reaches the
// line ("switching OLD NEW PID", and no mask line), and writes the new mask
// once the frame is out; a run whose frame may not have reached the box
// removes the file. A run killed in between leaves the mark, which reads
// as unknown (saying so) until a whole-box set: never a mask that may not
// be on the box. Every write is made in place, under the file's flock,
// as one write of whole 512-byte blocks (the text padded with a blank
// comment), so that neither a reader nor a kill can see half a file and no
// temporary file is ever left in the folder; readers take the flock shared.
//
// The file reads, for example:
//   # relkactl: outlets last set on this box; the box cannot be read back
//   device /dev/relka
//   terminal ttyUSB0
//   identity usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0
//   box 2
//   mask 5
//   set 2026-12-08T10:15:00Z
//   cycle 3 4711
// The last line says that process 4711 is power-cycling outlet 3: it holds
// the outlet off for its pause, and others wait for it to come back on.
// While process 4712 switches the box from 0x05 to 0x07, "mask 5" is
// replaced by "switching 5 7 4712" ("-" for an old mask not known).
#ifndef RELKA_OUTLET_OUTLET_STATE_H_
#define RELKA_OUTLET_OUTLET_STATE_H_

#include <sys/types.h>

#include <string>

// A switch that marked itself and has not written its new mask (yet).
struct switch_under_way {
  int pid = 0;     // 0: none
  int from = -1;   // the mask before it, -1 when that was not known
  int to = 0;
};

// Where the state lives when neither --state-dir nor RELKA_STATE_DIR says.
constexpr char default_state_dir[] = "/var/lib/relka";

// RELKA_STATE_DIR when it is set and not empty, else default_state_dir.
const char* state_dir_from_env();

struct outlet_state {
  bool known = false;
  int mask = 0;          // bit N-1 is outlet N; meaningful when known
  std::string device;    // the path it was last set through
  std::string terminal;  // the terminal's own name
  std::string identity;  // the adapter's; "" in files from before it
  int box = 0;
  std::string set_at;  // UTC, ISO 8601; "" when not known
  // Per outlet (index N-1), the process whose cycle holds it off; 0: none.
  int cycling[8] = {};
  // Set: a switch began and did not finish (or is running now); the state
  // is not known.
  switch_under_way under_way;
};

// `next` (the state a switch will leave) marked as under way from `old` by
// this process: what the file holds while the frame goes out.
outlet_state under_way_from(const outlet_state& old, const outlet_state& next);

// `next` as a switch that sends its mask leaves it: known, through
// `device` (whose terminal and adapter identity these are) to `box`, set
// now, with no switch under way.
outlet_state sent_state(outlet_state next, const std::string& device,
                        const std::string& terminal,
                        const std::string& identity, int box);

// "0x05": a mask's low 8 bits.
std::string mask_hex(int mask);

// The switch under way in `state` is another process's that still runs:
// it holds the line, and the state is its to write.
bool switching_now(const outlet_state& state);

// "the switch of box 2 from 0x05 to 0x07 by process 4712 was never
// finished" (or "is under way", while that process lives).
std::string under_way_words(const outlet_state& state);

std::string state_path(const std::string& folder, const std::string& identity,
                       int box);

// For a device path that leads nowhere now (an unplugged adapter behind a
// udev link): the state file last written through that very path for
// `box`, or "" when there is none, or more than one.
std::string find_state_by_device(const std::string& folder,
                                 const std::string& device, int box);

// The state in `path`. A missing file is unknown; a file that cannot be
// read or parsed is unknown too, and `problem` says why.
outlet_state read_state(const std::string& path, std::string* problem);

// The text of a state file.
std::string state_text(const outlet_state& state);

// Now, in the form of set_at.
std::string utc_now();

// One switch's record in the box's state file, held open from open() to
// the end of the object. open() makes the file (and, asked to, a missing
// folder) before anything is sent, so that a folder that cannot take it
// stops the run while the outlets are still as they were. begin() marks
// the switch from `old` to `next` as under way; done() writes `next` (the
// frame went out), failed() removes the file (it may not have: unknown).
// Each write replaces the whole text in place under the file's flock; the
// last follows the path again if a forget removed the file meanwhile.
class state_change {
 public:
  state_change() = default;
  ~state_change();
  state_change(const state_change&) = delete;
  state_change& operator=(const state_change&) = delete;

  // False, with `problem` set (unless it is null), when the file cannot be
  // opened for writing.
  bool open(const std::string& path, bool make_folder, std::string* problem);
  // What the file holds now, read through the open file.
  outlet_state held();
  // False, with `problem`, when the mark cannot be written; nothing may
  // then be sent that the state would not show.
  bool begin(const outlet_state& old, const outlet_state& next,
             std::string* problem);
  // `sync`: on the disk before it returns (a kill alone cannot lose what
  // was written, a power loss can).
  bool done(bool sync, std::string* problem);
  void failed();

 private:
  bool open_path(std::string* problem);
  bool write(const outlet_state& state, bool sync, bool follow,
             std::string* problem);

  std::string path_;
  int fd_ = -1;
  off_t size_ = -1;
  bool created_ = false;
  outlet_state next_;
};

// Removes the state file: the state becomes unknown. False, with
// `problem`, when a file that is there cannot be removed.
bool forget_state(const std::string& path, std::string* problem);

#endif  // RELKA_OUTLET_OUTLET_STATE_H_
