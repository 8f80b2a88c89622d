// SPDX-License-Identifier: MIT
// One holder per line: relka, run as a lab runs it (many at once, killed
// mid-frame, started with descriptors closed, next to hostile lock files),
// still sends whole frames or nothing, and leaves no lock and no changed
// settings behind.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "sim/frame_decoder.h"
#include "sim/run_program.h"
#include "tests/case_name.h"
#include "tests/flock_holder.h"
#include "tests/line_fixture.h"

namespace {

using steady = std::chrono::steady_clock;

// A descriptor of /dev/null for a child's output, closed with the object.
struct null_sink {
  int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ~null_sink() {
    if (fd >= 0) close(fd);
  }
};

class relka_holder_test : public line_test {
 protected:
  bool start_relka(child_process& child, const std::vector<std::string>& args,
                   const child_io& io = child_io()) {
    return child.start(RELKA_BINARY, args, io);
  }

  // Waits until the line has seen `count` changes, at most two seconds.
  bool wait_for_changes(size_t count) {
    auto start = steady::now();
    while (line->changes().size() < count && seconds_since(start) < 2)
      usleep(1000);
    return line->changes().size() >= count;
  }

  // What has been written to the line's far end.
  std::string far_end_bytes() {
    int flags = fcntl(line->far_end(), F_GETFL);
    fcntl(line->far_end(), F_SETFL, flags | O_NONBLOCK);
    std::string got;
    char buffer[256];
    ssize_t n = 0;
    while ((n = read(line->far_end(), buffer, sizeof buffer)) > 0)
      got.append(buffer, static_cast<size_t>(n));
    fcntl(line->far_end(), F_SETFL, flags);
    return got;
  }

  decoded_line decoded() { return decode_frames(line->changes(), kStatusBits); }
};

// --- Many runs at once on one line -----------------------------------------

int stress_waves(int fallback) {
  const char* text = getenv("RELKA_STRESS_WAVES");
  return text != nullptr && atoi(text) > 0 ? atoi(text) : fallback;
}

class relka_stress_test : public relka_holder_test,
                          public testing::WithParamInterface<bool> {};

TEST_P(relka_stress_test, EveryRunSendsOneWholeFrameOrNothing) {
  const bool seed_stale_lock = GetParam();
  const int kRuns = 8;
  const int waves = stress_waves(6);
  preset_cooked(*line);
  termios before = line_settings(*line);
  null_sink sink;
  child_io io;
  io.out = sink.fd;
  io.err = sink.fd;

  int sent = 0, refused = 0, other = 0, left = 0;
  for (int wave = 0; wave < waves; ++wave) {
    if (seed_stale_lock) write_file(line->lock_path(), lock_text(dead_pid()));
    std::vector<child_process> runs(kRuns);
    for (int i = 0; i < kRuns; ++i)
      ASSERT_TRUE(start_relka(
          runs[i],
          {"-q", "-a", std::to_string(i), "-s", std::to_string(i * 16 + wave)},
          io));
    for (child_process& run : runs) {
      int status = run.wait(30);
      if (status == 0)
        ++sent;
      else if (status == 255)
        ++refused;
      else
        ++other;
    }
    // Someone always gets the line, and takes a stale lock over with it.
    if (file_exists(line->lock_path())) {
      ++left;
      unlink(line->lock_path().c_str());
    }
  }
  decoded_line seen = decoded();
  EXPECT_TRUE(seen.faults.empty())
      << seen.faults.size() << " faults, first: " << seen.faults[0].what;
  EXPECT_EQ(0, other) << "runs that ended neither 0 nor 255";
  EXPECT_EQ(static_cast<size_t>(sent), seen.frames.size())
      << "clean frames must equal the runs that said they switched";
  EXPECT_GT(sent, 0);
  EXPECT_EQ(kRuns * waves, sent + refused);
  EXPECT_EQ(60u * static_cast<size_t>(sent),
            port_writes(line->changes()).size());
  EXPECT_EQ(0, left) << "waves that left a lock file behind";
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  RecordProperty("runs", kRuns * waves);
  RecordProperty("clean_frames", sent);
  printf(
      "stress: %d runs, %d clean frames, %d refused, %zu faults, %d locks "
      "left\n",
      kRuns * waves, sent, refused, seen.faults.size(), left);
}

INSTANTIATE_TEST_SUITE_P(Waves, relka_stress_test, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& stale) {
                           return std::string(stale.param ? "StaleLockSeeded"
                                                          : "NoLockSeeded");
                         });

// --- flock, both ways ------------------------------------------------------

TEST_F(relka_holder_test, FlockOfAnotherProgramKeepsRelkaOff) {
  flock_holder holder;
  ASSERT_TRUE(holder.take());
  program_run run = run_program(RELKA_BINARY, {"-s", "1"});
  holder.release();
  EXPECT_EQ(255, run.status);
  EXPECT_EQ("rs232::open: device [/dev/relka] is in use by another program\n",
            run.err);
  EXPECT_EQ(
      "relka - RELKA outlet switch, by the relka developers\n"
      "RELKA not found at /dev/relka\n",
      run.out);
  EXPECT_TRUE(port_writes(line->changes()).empty());
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relka_holder_test, RelkaMidFrameHoldsTheFlock) {
  line->set_delay(2000);
  child_process relka;
  ASSERT_TRUE(start_relka(relka, {"-q", "-s", "5"}));
  ASSERT_TRUE(wait_for_changes(5));
  {
    flock_holder other;
    EXPECT_FALSE(other.take()) << "relka does not hold the flock mid-frame";
  }
  EXPECT_EQ(0, relka.wait(10));
  flock_holder other;
  EXPECT_TRUE(other.take()) << "released after the run";
  // The probe's own open raised DTR and RTS mid-frame, as any open of a
  // serial port does, so only the port's writes are counted here.
  EXPECT_EQ(60u, port_writes(line->changes()).size());
}

// --- Signals mid-frame -----------------------------------------------------

class relka_signal_test : public relka_holder_test,
                          public testing::WithParamInterface<int> {};

TEST_P(relka_signal_test, FrameCompletesThenTheSignalEndsTheRun) {
  preset_cooked(*line);
  termios before = line_settings(*line);
  line->set_delay(2000);
  child_process relka;
  ASSERT_TRUE(start_relka(relka, {"-q", "-a", "2", "-s", "5"}));
  ASSERT_TRUE(wait_for_changes(5));
  relka.send(GetParam());
  EXPECT_EQ(128 + GetParam(), relka.wait(10));
  EXPECT_EQ(GetParam(), relka.end_signal());

  decoded_line seen = decoded();
  EXPECT_TRUE(seen.faults.empty()) << seen.faults[0].what;
  ASSERT_EQ(1u, seen.frames.size());
  EXPECT_EQ(2, seen.frames[0].box_address());
  EXPECT_EQ(5, seen.frames[0].data);
  EXPECT_EQ("open 60 writes close", settled_story());
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  EXPECT_FALSE(file_exists(line->lock_path()));
}

INSTANTIATE_TEST_SUITE_P(Signals, relka_signal_test,
                         testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const testing::TestParamInfo<int>& sig) {
                           return std::string(sigabbrev_np(sig.param));
                         });

// --- Hostile lock paths ----------------------------------------------------

// Something planted at the lock path, and removed again whatever happens.
class planted {
 public:
  explicit planted(std::string path) : path_(std::move(path)) {}
  ~planted() {
    if (rmdir(path_.c_str()) != 0) unlink(path_.c_str());
  }
  planted(const planted&) = delete;
  planted& operator=(const planted&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct plant_case {
  const char* name;
  // Makes the object at `path`; false when this machine cannot.
  bool (*make)(const std::string& path, const std::string& folder);
};

bool make_fifo(const std::string& path, const std::string&) {
  return mkfifo(path.c_str(), 0666) == 0;
}
bool make_folder(const std::string& path, const std::string&) {
  return mkdir(path.c_str(), 0755) == 0;
}
bool make_dangling_link(const std::string& path, const std::string& folder) {
  return symlink((folder + "/nothing").c_str(), path.c_str()) == 0;
}
bool make_link_to_foreign_file(const std::string& path,
                               const std::string& folder) {
  std::string target = folder + "/foreign";
  write_file(target, "keep me\n");
  return chown(target.c_str(), 65534, 65534) == 0 &&
         symlink(target.c_str(), path.c_str()) == 0;
}

// What is at `path` now, to tell that it is untouched.
std::string describe(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return "nothing";
  std::string out =
      std::to_string(st.st_mode) + ":" + std::to_string(st.st_ino);
  char target[256] = "";
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n > 0) {
    target[n] = '\0';
    out += std::string("->") + target + ":" + read_file(target);
  }
  return out;
}

class relka_lock_path_test : public relka_holder_test,
                             public testing::WithParamInterface<plant_case> {};

TEST_P(relka_lock_path_test, RefusesAtOnceAndLeavesItAlone) {
  scoped_folder folder;
  planted lock(line->lock_path());
  if (!GetParam().make(lock.path(), folder.path()))
    GTEST_SKIP() << "cannot plant " << GetParam().name << " here";
  std::string was = describe(lock.path());

  auto start = steady::now();
  program_run run = run_program(RELKA_BINARY, {"-q", "-s", "1"},
                                child_stdin::null_device, 5.0);
  EXPECT_LT(seconds_since(start), 1.0);
  EXPECT_FALSE(run.timed_out);
  EXPECT_EQ(255, run.status);
  EXPECT_EQ(
      "rs232::lock: lock file [" + lock.path() + "] is not a regular file\n",
      run.err);
  EXPECT_EQ(was, describe(lock.path()));
  EXPECT_TRUE(line->changes().empty());
}

INSTANTIATE_TEST_SUITE_P(Planted, relka_lock_path_test,
                         testing::Values(plant_case{"Fifo", make_fifo},
                                         plant_case{"Directory", make_folder},
                                         plant_case{"DanglingSymlink",
                                                    make_dangling_link},
                                         plant_case{"SymlinkToForeignFile",
                                                    make_link_to_foreign_file}),
                         by_name());

TEST_F(relka_holder_test, FullLockFolderLeavesNoEmptyLockFile) {
  // A tmpfs of one page, filled, over the lock folder, in a mount namespace
  // of the run's own, so that the machine's lock folder is not touched.
  std::string script =
      "dir=$(readlink -f /var/lock) && "
      "mount -t tmpfs -o size=4k tmpfs \"$dir\" 2>/dev/null || exit 99; "
      "head -c 65536 /dev/zero >\"$dir/fill\" 2>/dev/null; "
      "\"$0\" -q -s 1; status=$?; ls -A \"$dir\"; exit $status";
  program_run run =
      run_program("/usr/bin/unshare", {"--mount", "--propagation", "private",
                                       "/bin/sh", "-c", script, RELKA_BINARY});
  if (run.status == 99 || (run.status != 255 && run.out.empty()))
    GTEST_SKIP() << "cannot mount a tmpfs in a mount namespace here: "
                 << run.err;
  EXPECT_EQ(255, run.status);
  EXPECT_EQ("fill\n", run.out) << "a lock file was left in the full folder";
  EXPECT_EQ("rs232::lock: cannot write lock file [" + line->lock_path() +
                "]: No space left on device\n",
            run.err);
  EXPECT_TRUE(line->changes().empty());
}

// --- Closed standard descriptors -------------------------------------------

TEST_F(relka_holder_test, ClosedStandardDescriptorsKeepTheLineClean) {
  preset_cooked(*line);
  termios before = line_settings(*line);
  child_io closed;
  closed.close_in = closed.close_out = closed.close_err = true;
  child_process relka;
  ASSERT_TRUE(start_relka(relka, {"-a", "3", "-s", "9"}, closed));
  EXPECT_EQ(0, relka.wait(10));
  ASSERT_EQ(1u, decoded().frames.size());
  EXPECT_EQ(9, decoded().frames[0].data);
  EXPECT_EQ("", far_end_bytes()) << "bytes reached the line";
  EXPECT_TRUE(same_settings(before, line_settings(*line)));
  EXPECT_FALSE(file_exists(line->lock_path()));
}

TEST_F(relka_holder_test, DiagnosticsNeverReachTheLine) {
  // Refused by a live lock: the messages must go to /dev/null, not the line.
  scoped_file lock(line->lock_path(), lock_text(getpid()));
  child_io closed;
  closed.close_in = closed.close_out = closed.close_err = true;
  child_process relka;
  ASSERT_TRUE(start_relka(relka, {"-s", "1"}, closed));
  EXPECT_EQ(255, relka.wait(10));
  EXPECT_EQ("", far_end_bytes()) << "a diagnostic was written onto the line";
  EXPECT_EQ(lock_text(getpid()), read_file(lock.path()));
  EXPECT_TRUE(line->changes().empty());
}

// --- Response files from devices -------------------------------------------

TEST_F(relka_holder_test, EndlessResponseFileIsReadToABound) {
  auto start = steady::now();
  program_run run =
      run_program(RELKA_BINARY, {"@/dev/zero"}, child_stdin::null_device, 10.0);
  EXPECT_FALSE(run.timed_out);
  EXPECT_LT(seconds_since(start), 5.0);
  EXPECT_EQ(0, run.status) << "the defaults: /dev/relka opened, nothing sent";
  EXPECT_EQ(1, line->open_count_after(1, 2000));
  EXPECT_EQ("open close", settled_story());
}

}  // namespace
