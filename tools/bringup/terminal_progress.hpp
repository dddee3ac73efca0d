// What the bring-up is doing, shown on a terminal: the phase that runs
// (starting the worker, launching, waiting for N of M devices to be ready,
// settling, tearing down) with its elapsed time on a status line redrawn in
// place, and a line for each phase once it is over.
//
// The log records of the manager and of its worker (which inherits the
// console) are sent to a pipe that a thread of this object reads.  The
// progress records (tarvex/morvane/progress.hpp) drive the phases; INFO
// records are what the display stands for and are not shown (unless the
// bring-up logs at debug level); every other record is shown above the
// status line.  When standard error is not a terminal the tool does not
// make one, and the log stays as it is.
//
// The thread only reads, writes and waits on descriptors and on its own
// mutex, so that the worker the main thread forks meanwhile finds nothing
// held that it needs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "tarvex/fd.hpp"

namespace tarvex::morvane::bringup_tool {

class TerminalProgress {
 public:
  // Whether standard error is a terminal that can redraw a line.
  static bool wanted();

  // Sends the console to the display and starts with "Starting the worker".
  TerminalProgress();
  // Finishes (see finish()).
  ~TerminalProgress();
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  // Shows INFO records too (the bring-up logs at debug level).
  void show_info_records();
  // Ends the phase that runs, shows every record logged so far and clears
  // the status line, so that the caller can write to standard error.
  void pause();
  // The topology is held or settles before the teardown: "Settling before
  // the teardown" is shown, or nothing while an interactive user is held
  // (the prompt is theirs).
  void settle(bool holding);
  // Shows what is left, marks a phase still running as failed, gives the
  // console back to standard error and stops the thread.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { None, Starting, Launching, Waiting, Settling, TearingDown };

  void run();
  void read_available();
  void take_line(std::string_view line);
  void take_progress(std::string_view step, std::string_view argument);
  void begin(Phase phase);
  void end_phase(bool ok, const std::string& text = {});
  std::string phase_text() const;
  void show_line(std::string_view line);
  void draw_status();
  void clear_status();
  void write_out(std::string_view text) const;

  UniqueFd log_read_;
  UniqueFd log_write_;
  UniqueFd wake_read_;
  UniqueFd wake_write_;
  std::thread thread_;

  // Guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable acknowledged_;
  unsigned pause_requests_ = 0;
  unsigned pauses_done_ = 0;
  bool stopping_ = false;
  bool show_info_ = false;

  // The display's own state (the thread's, or the caller's under mutex_).
  Phase phase_ = Phase::None;
  Clock::time_point phase_started_;
  std::string detail_;
  int devices_total_ = 0;
  int devices_ready_ = 0;
  int devices_launched_ = 0;
  bool drawing_ = false;
  bool status_shown_ = false;
  bool showing_record_ = false;  // the continuation lines of a shown record are shown
  bool utf8_ = false;
  unsigned frame_ = 0;
  std::string partial_;
};

}  // namespace tarvex::morvane::bringup_tool
