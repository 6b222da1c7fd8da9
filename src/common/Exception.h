#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Throw and catch sites pass their own place: throw X(code, msg, TELVAR_HERE).
#define TELVAR_HERE __FILE__, __LINE__

namespace Telvar {

struct TraceEntry {
    std::string module;
    int32_t line;
    bool operator==(const TraceEntry& o) const { return module == o.module && line == o.line; }
};

class Exception {
public:
    explicit Exception(int32_t code);
    Exception(int32_t code, const std::string& message, const char* sourcePath, int32_t line);
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    virtual ~Exception();

    virtual std::string describe() const;
    virtual int32_t familyNumber() const;

    // The module is the path's last component without its extension.
    void addTrace(const char* sourcePath, int32_t line);
    void addTrace(const std::string& sourcePath, int32_t line) { addTrace(sourcePath.c_str(), line); }

    std::string codeText() const;
    std::string fullText() const;

    int32_t code() const { return code_; }
    const std::string& message() const { return message_; }
    // What failed in the user's words with the system's reason ("/var/x:
    // No space left on device"); fullText puts it first, before the codes.
    const std::string& reason() const { return reason_; }
    void setReason(const std::string& reason) { reason_ = reason; }
    const std::vector<TraceEntry>& trace() const { return trace_; }

protected:
    // Description from a family word and the code's table text (empty: unknown).
    std::string describeWith(const char* familyWord, const char* codeMessage) const;

private:
    int32_t code_;
    std::string message_;
    std::string reason_;
    std::vector<TraceEntry> trace_;
};

// Declares a family: the class, its constructors and its two overrides.
#define TELVAR_EXCEPTION_FAMILY_CTORS(Name)                                           \
    explicit Name(int32_t code) : Exception(code) {}                                   \
    Name(int32_t code, const std::string& message, const char* sourcePath, int32_t line) \
        : Exception(code, message, sourcePath, line) {}                                \
    Name(const Name&) = default;                                                       \
    Name& operator=(const Name&) = default;                                            \
    std::string describe() const override;                                             \
    int32_t familyNumber() const override;                                             \
    static const char* codeMessage(int32_t code);

class FileException : public Exception {
public:
    enum Code {
        FL_NONE = 0, FL_MEM = 1, FL_EXISTS_NOT = 2, FL_EXISTS = 3, FL_IS_OPEN = 4,
        FL_CANNOT_OPEN = 5, FL_IS_CLOSED = 6, FL_CANNOT_CLOSE = 7, FL_ACCESS_COMB = 8,
        FL_CANNOT_READ = 9, FL_READ = 10, FL_CANNOT_WRITE = 11, FL_WRITE = 12,
        FL_FLUSH = 13, FL_EOF = 14, FL_POSITION = 15, FL_CANNOT_UNLOCK = 16,
        FL_CANNOT_LOCK = 17, FL_IS_LOCKED = 18, FL_CANNOT_COPY = 19, FL_RENAME = 20,
        FL_REMOVE = 21, FL_CREATE_DIR = 22, FL_GET_DIR = 23, FL_NO_DIR = 24,
        FL_SPACE = 25, FL_ACCESS = 26, FL_ERROR = 28
    };
    static constexpr int32_t FAMILY = 60;
    TELVAR_EXCEPTION_FAMILY_CTORS(FileException)
};

class TimeException : public Exception {
public:
    enum Code {
        TM_NONE = 0, TM_DAYS = 1, TM_HOURS = 2, TM_MINUTES = 3, TM_SECONDS = 4,
        TM_YEAR = 5, TM_MONTH = 6, TM_DAY = 7, TM_DATETIME = 8, TM_ANCIENT = 9,
        TM_INPUT = 10
    };
    static constexpr int32_t FAMILY = 4;
    TELVAR_EXCEPTION_FAMILY_CTORS(TimeException)
};

class IPCException : public Exception {
public:
    enum Code {
        IC_NONE = 0, IC_NO_MESSAGE_FILE = 1, IC_CANNOT_CREATE_COMM = 2, IC_NOT_SENDER = 3,
        IC_NOT_RECEIVER = 4, IC_CANNOT_SEND = 5, IC_CANNOT_RECEIVE = 6, IC_MEM = 7
    };
    static constexpr int32_t FAMILY = 4;
    TELVAR_EXCEPTION_FAMILY_CTORS(IPCException)
};

class JobException : public Exception {
public:
    enum Code {
        JB_NONE = 0, JB_NEVER_STARTED = 1, JB_UNABLE_TO_START = 2, JB_UNABLE_TO_TERMINATE = 3,
        JB_STILL_RUNNING = 4, JB_UNKNOWN_ERROR = 5, JB_MEM = 6, JB_PROCESS = 7, JB_THREAD = 8
    };
    static constexpr int32_t FAMILY = 61;
    TELVAR_EXCEPTION_FAMILY_CTORS(JobException)
};

class ConfigException : public Exception {
public:
    enum Code { CF_MEM = 0, CF_CONF = 1, CF_CANNOT_UNCOMPRESS = 2 };
    static constexpr int32_t FAMILY = 1;
    TELVAR_EXCEPTION_FAMILY_CTORS(ConfigException)
};

#undef TELVAR_EXCEPTION_FAMILY_CTORS

} // namespace Telvar
