#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/DateTime.h"
#include "common/FileBase.h"
#include "common/Monopoly.h"
#include "common/SmartPointer.h"
#include "logger/LoggerAgent.h"

namespace Telvar {

// The log file sink: appends lines to the program's log file, keeps writers
// of the same file apart across processes, writes the open and close banners
// and rotates the file at start-up, by age or by size (see LogSettings).
// The open time and the rotation counter live in the registry values
// logApplicationName() + "LogOpened" and + "LogCounter".
class LoggerAgentFile : public LoggerAgent {
public:
    static constexpr const char* DEFAULT_LOG_FILE = "Telvar_Debug.log";
    static constexpr const char* VERSION_TEXT = "VERSION(6.1.0.0)";
    static constexpr const char* REVISION_TEXT = "REVISION(5069)";
    static constexpr int LOCK_ATTEMPTS = 50;
    static constexpr int LOCK_RETRY_MS = 40;
    static constexpr int STATE_WAIT_MS = 100;
    static constexpr int64_t BYTES_PER_MEGABYTE = 1048576;
    // Rotated names already taken that a rotation steps over.
    static constexpr int MAX_TAKEN_NAMES = 1000;

    enum State : int32_t { STATE_IDLE = 0, STATE_CHECKING = 1, STATE_ROTATING = 2, STATE_OPENING = 3 };

    // No file yet; sets the process-wide rotation size to 10.
    LoggerAgentFile();
    // Writes the closing banner ("Quitting Logger Agent") if the file is open.
    ~LoggerAgentFile() override;

    // "file:///" + the log file's name.
    std::string location() const override;
    // Appends line + "\r\n", rotating first when due. False when the file's
    // cross-process lock could not be had (the line is dropped). File errors
    // surface as FileException.
    bool write(const std::string& line) override;

    // Moves logging to path (opened at the next write). The old file, if
    // open, is closed with a banner and the new one starts with a line naming
    // the old one. False when the file object cannot be made.
    bool setLogFile(const std::string& path);

    std::string logFile() const;
    std::string lockName() const;
    DateTime openTime() const;
    DateTime nextRotation() const;
    float sizeFactor() const;
    int32_t state() const { return state_.load(); }

private:
    class CrossProcessLock;

    // A line of the sink's own (banner, rotation note, closing line), written
    // from inside a write, an open or a rotation: it neither waits for the
    // sink to be idle nor checks for rotation.
    bool writeNote(const std::string& line);
    // False without a file; picks up changed rotation settings.
    bool followSettings();
    void rotateIfDue();
    // Opens the file when needed, then appends under the cross-process lock
    // (already held while the sink is not idle).
    bool appendToOpenFile(const std::string& line);
    // Writes one line at the file's end; a line that fails is cut off again
    // (or, when that fails too, the next line starts on a line of its own).
    void appendLine(const std::string& line);
    bool openFile();
    bool checkRotation();
    void rotate();
    void closeFile(const std::string& reason);
    void computeNextRotation();
    std::string rotatedName(const std::string& counter) const;

    SmartPointer<FileBase> file_;
    mutable Monopoly processLock_;
    std::string lockName_;
    DateTime openTime_{int64_t(0)};
    DateTime nextRotation_;  // now, until an interval sets it
    std::atomic<int32_t> state_{STATE_IDLE};
    float sizeFactor_ = 1.0f;
    int32_t timeBase_ = 0;
    bool openedOnce_ = false;
    // The interval and size the next rotation time was computed for.
    int32_t seenInterval_ = 0;
    int32_t seenSize_ = 0;
    // A failed line may still stand half in the file.
    bool lineTorn_ = false;
};

} // namespace Telvar
