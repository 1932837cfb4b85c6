// ProgressLine: the one drawer of progress lines on standard error. Every progress display of
// the program (uploads, downloads, hashing, imports, restores, purges) draws through this class,
// so they all look alike: what is being done, the name of the item at hand, a bar, the
// percentage, the bytes done and the total, the rate and the time left. The displays feed it
// only what is done of the total; the rate (of this run) and the time left are worked out here.
// The line never grows beyond the terminal's width less one column (no wrapped rows at any
// width): the name is cut first (in the middle, "..."), then the bar goes, then the name, the
// time left and the rate. Drawn only when progress is wanted (CliOutput::progressEnabled);
// redrawn at most five times a second, except the last drawing of a finished transfer.
// Threads: every member from any thread, under the object's mutex.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace quillon::cli {

class CliOutput;

class ProgressLine {
  public:
    struct Content {
        std::string action;       // "Uploading", "2/10 files, sending", "Importing"
        std::string name;         // the item at hand; may be empty
        std::int64_t done = 0;    // bytes (or items when `bytes` is false) done so far
        std::int64_t total = -1;  // negative: unknown
        double rate = 0;          // per second; 0: not known yet
        bool bytes = true;        // done and total are bytes (sizes) rather than counts
    };

    // A line that begins with `action`; `bytes`: the amounts are bytes (sizes), else counts.
    explicit ProgressLine(CliOutput& output, std::string action = "", bool bytes = true);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return enabled_; }
    // `done` of `total` (negative: unknown) in this run, after what was there already. The rate
    // is this run's since the line was made: what was there already counts as done, not for it.
    void update(std::int64_t done, std::int64_t total);
    // What the line begins with from the next drawing on, and the item's name after it (the part
    // that is cut first when the terminal is narrow).
    void setLabel(std::string action, std::string name = "");
    // More found done already (a resumed download, parts the service held).
    void addAlreadyDone(std::int64_t amount);
    // Wipes the line, so that other output can take its place; the next draw() draws it again.
    void clear();
    // Ends the line where it stands.
    void finish();

    // The line for `content` in `width` columns (at most width - 1 characters wide).
    static std::string compose(const Content& content, int width);
    // Columns of the terminal on standard error, else $COLUMNS, else 80.
    static int terminalWidth();
    // "40 s", "3 min 20 s", "2 h 5 min", "3 d 4 h": what is left, in the two largest units.
    static std::string timeLeft(double seconds);

  private:
    using Clock = std::chrono::steady_clock;

    void drawLocked(const Content& content);

    CliOutput& output_;
    const bool enabled_;
    const bool bytes_;
    const Clock::time_point started_ = Clock::now();
    std::mutex mutex_;
    std::string action_;
    std::string name_;
    std::int64_t alreadyDone_ = 0;
    Clock::time_point lastDraw_{};
    bool drawn_ = false;
};

}  // namespace quillon::cli
