// SPDX-License-Identifier: MIT
// rs232: one serial device, owned for as long as it is open.
//
// Principles of operation. The object keeps five line settings (speed, data
// bits, parity, stop bits, flow control) and turns them into raw-mode termios
// settings. open() refuses the controlling terminal, claims the terminal
// the path leads to with a UUCP lock file in /var/lock (the owner's pid as
// "%10d\n") before it opens anything, since opening a terminal raises DTR
// and RTS in the middle of whatever frame its holder is sending; then it
// opens the device, refuses anything that is not that terminal, takes the
// device's flock(2), saves the line's own settings and puts ours in place.
// close() undoes all three in reverse: settings back, descriptor closed, lock
// file removed. While open, set_rts()/set_dtr() drive the two modem control
// outputs by a read-modify-write of the modem bits, so every other line keeps
// its level.
//
// A descriptor of 0 means "closed"; the object never keeps a device or a lock
// file on descriptor 0, so that test is exact. Nothing is thrown: operations
// answer through their result and print their own one-line diagnostic, of the
// form "rs232::<operation>: <text>", on standard error.
#ifndef RELKA_SERIAL_RS232_H_
#define RELKA_SERIAL_RS232_H_

#include <sys/types.h>
#include <termios.h>

// UUCP lock files: this prefix and the terminal's own name.
constexpr char uucp_lock_prefix[] = "/var/lock/LCK..";

class rs232 {
 public:
  rs232();
  ~rs232();
  rs232(const rs232&) = delete;
  rs232& operator=(const rs232&) = delete;

  // Opens, locks and sets up `path`; closes whatever was open first. The
  // device is held by its flock and its UUCP lock file until close().
  bool open(const char* path);

  // How long open() waits for a device that another live process holds
  // (a lock file that names it, or its flock), trying again every 20 ms
  // without opening a device whose lock file is held. 0, the default,
  // refuses at once and says why; with a wait the refusal is left to the
  // caller (was_busy, busy_holder), so a wait that ends well says nothing.
  void set_wait(int milliseconds);
  // The last open() failed because another process held the device, also
  // after waiting for it.
  bool was_busy() const { return busy; }
  // The process named by the lock file that refused the last open(); 0 when
  // another program's flock refused it, or nothing did.
  int busy_holder() const { return holder; }
  // Why the last open() failed, as an errno value: that of the system open
  // (ENOENT, EACCES, ...), ENOTTY for a device that is not a terminal, 0
  // when it did not fail there.
  int get_open_error() const { return open_error; }
  // Puts the saved settings back, closes the device and releases the lock.
  // Nothing on a closed port.
  void close();

  // Setters store the value as given and re-apply the settings when open.
  void set_baud(int value);
  void set_data_bits(char value);
  void set_parity(char value);
  void set_stop_bits(char value);
  void set_flow(char value);

  int get_baud() const { return baud; }
  char get_data_bits() const { return data_bits; }
  char get_parity() const { return parity; }
  char get_stop_bits() const { return stop_bits; }
  char get_flow() const { return flow; }
  // The object's own buffer: the path of the last open that got past the
  // controlling-terminal test.
  const char* get_device() const { return device; }
  // The lock file of the last open that got as far as naming it; ends in
  // the terminal's own name, whichever path reached it.
  const char* get_lock_file() const { return lock_file; }

  // Modem control outputs. Only on an open port; true when the modem bits
  // were read and written back.
  bool set_rts(bool on);
  bool set_dtr(bool on);
  // The whole modem-control word, one request each (TIOCMGET, TIOCMSET),
  // for a caller that keeps the word itself: on a USB adapter every request
  // is a control transfer, and set_rts/set_dtr make two. Only on an open
  // port; false, errno kept, when the request failed.
  bool read_modem_word(int* word);
  bool write_modem_word(int word);

  // Modem status inputs. Only on an open port; a failing request prints
  // "rs232::<query>: error ioctl" and reads as false.
  bool cts();
  bool dsr();
  bool cd();
  bool ri();

  // The open descriptor, 0 when closed.
  int get_fd() const { return fd; }

  // Byte I/O. Each is one system request; on a closed port nothing reaches
  // the system and the result is -1 (read_byte: 0). Results and errno are
  // those of read/write. write_buffer with length -1 sends a C string
  // without its terminator (a length below -1 is refused with -1), then
  // waits until the output has gone out.
  int write_byte(char byte);
  int write_buffer(const char* data, int length);
  // The byte read, or 0 when none was pending, the read failed or the port
  // is closed: a received zero byte looks the same.
  char read_byte();
  int read_buffer(char* buffer, int size);
  // Discards input not yet read and output not yet sent.
  void flush();

  // Signal-driven input: `handler` runs on SIGIO whenever input arrives on
  // the port. The descriptor becomes blocking (reads wait up to 0.5 s for a
  // first byte) and stays so until the port is closed.
  bool enable_sigio(void (*handler)(int));
  // Sets the process's SIGIO action to "ignore"; the port is not touched.
  bool ignore_sigio();

  // Waits until `pattern` has arrived, at most `seconds` of real time. On
  // success the bytes received during the wait (at most 1024, including any
  // behind the pattern) are copied to `received` and their number stored in
  // `count`, unless `received` is null. Bytes read during a wait that runs
  // out are lost.
  bool wait_for(const char* pattern, int seconds, char* received, int* count);

  // Rebuilds the termios settings from the five settings; applies them to
  // the device (after queued output) when open.
  void apply_settings();

  // UUCP lock file for the terminal open() is about to open (named by
  // open() before the device is opened). lock() is true when this object
  // now holds it; unllock() removes it only if it holds our pid and this
  // object made it, and reports a lock file that holds another pid.
  bool lock();
  void unllock();

 private:
  enum claim_outcome { claim_taken, claim_busy, claim_failed };
  enum lock_creation { lock_made, lock_taken_meanwhile, lock_impossible };
  claim_outcome claim(bool quiet);
  bool make_lock_name(const char* terminal);
  bool lock(bool quiet);
  lock_creation create_lock(bool stale);
  bool set_modem_bit(int bit, bool on);
  bool modem_status(int bit, const char* query);
  void abandon_open();

  int baud;
  char data_bits;
  char parity;
  char stop_bits;
  char device[256];
  char flow;
  char lock_file[256];
  int fd;
  termios new_settings;
  termios saved_settings;
  void (*async_handler)(int);
  // This object created the lock file now named in lock_file. Another
  // rs232 of the same process writes the same pid, so the pid alone cannot
  // tell whose lock it is.
  bool lock_held;
  // The lock file this object made, to recognise it when releasing.
  dev_t lock_dev;
  ino_t lock_ino;
  bool busy;
  int holder;
  int open_error;
  int wait_ms;
};

#endif  // RELKA_SERIAL_RS232_H_
