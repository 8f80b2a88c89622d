// SPDX-License-Identifier: MIT
#include "sim/frame_decoder.h"

#include <sys/ioctl.h>

namespace {

constexpr std::size_t kFrameBits = 18;

int bits_value(const std::vector<bool>& bits, std::size_t from,
               std::size_t count) {
  int value = 0;
  for (std::size_t i = from; i < from + count; ++i)
    value = value << 1 | bits[i];
  return value;
}

class receiver {
 public:
  explicit receiver(int initial_word)
      : data_(initial_word & TIOCM_RTS), clock_(initial_word & TIOCM_DTR) {}

  // A change of both lines in one step (the driver raising or dropping both
  // at an open or close, or one write of the register) is no start or stop:
  // the clock did not stay high. A rising clock still samples the new data
  // level, as a box's receiver would. Only the port's own writes are
  // expected to move one line at a time.
  void step(std::size_t index, const line_change& change) {
    bool data = change.rts(), clock = change.dtr();
    if (data != data_ && clock != clock_ && change.cause == line_change::port_write)
      fault(index, "data and clock changed in one write");
    if (clock_ && clock && data != data_) {
      if (data)
        on_stop(index);
      else
        on_start(index);
    } else if (!clock_ && clock && in_frame_) {
      bits_.push_back(data);
    }
    data_ = data;
    clock_ = clock;
  }

  decoded_line finish() {
    if (in_frame_)
      fault(begin_, "missing stop: the frame from here ends after " +
                        std::to_string(bits_.size()) + " bits");
    return std::move(result_);
  }

 private:
  void on_start(std::size_t index) {
    if (in_frame_)
      fault(index, "data fell while the clock was high inside a frame, after " +
                       std::to_string(bits_.size()) +
                       " bits (no stop before it)");
    in_frame_ = true;
    begin_ = index;
    bits_.clear();
  }

  void on_stop(std::size_t index) {
    if (!in_frame_) {
      fault(index,
            "data rose while the clock was high outside a frame "
            "(stop without start)");
      return;
    }
    in_frame_ = false;
    // The stop's own clock pulse samples one more bit, which is not data.
    if (bits_.size() != kFrameBits + 1) {
      fault(begin_, "wrong bit count: " + std::to_string(bits_.size()) +
                        " clock pulses between start and stop, a frame has " +
                        std::to_string(kFrameBits + 1));
      return;
    }
    decoded_frame frame;
    frame.address_byte = bits_value(bits_, 0, 7);
    frame.read = bits_[7];
    frame.ack_address = bits_[8];
    frame.data = bits_value(bits_, 9, 8);
    frame.ack_data = bits_[17];
    frame.first_change = begin_;
    frame.last_change = index;
    result_.frames.push_back(frame);
  }

  void fault(std::size_t index, std::string what) {
    result_.faults.push_back({index, std::move(what)});
  }

  bool data_;
  bool clock_;
  bool in_frame_ = false;
  std::size_t begin_ = 0;
  std::vector<bool> bits_;
  decoded_line result_;
};

}  // namespace

decoded_line decode_frames(const std::vector<line_change>& changes,
                           int initial_word) {
  receiver box(initial_word);
  for (std::size_t i = 0; i < changes.size(); ++i)
    box.step(i, changes[i]);
  return box.finish();
}

std::string bit_string(int value, int width) {
  std::string text;
  for (int i = width - 1; i >= 0; --i) {
    if (!text.empty()) text += ' ';
    text += (value >> i) & 1 ? '1' : '0';
  }
  return text;
}
