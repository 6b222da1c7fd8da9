#include "common/Exception.h"

#include <cstddef>

namespace Telvar {

namespace {

const char* lookup(const char* const* table, size_t size, int32_t code)
{
    if (code < 0 || static_cast<size_t>(code) >= size || table[code] == nullptr)
        return "";
    return table[code];
}

const char* const fileTexts[] = {
    "No exception!",
    "Insufficient memory available.",
    "File does not exist.",
    "File already exists.",
    "File is open.",
    "File cannot be opened.",
    "File is closed.",
    "Unable to close file.",
    "Illegal combination of access flaggs.",
    "File is not opened for reading.",
    "Unable to read.",
    "File is not opened for writing.",
    "Unable to write.",
    "Unable to flush buffer.",
    "End of file.",
    "Illegal position.",
    "Unable to unlock file.",
    "Unable to lock file.",
    "Someone else has locked the file.",
    "Unable to copy file.",
    "Failed to rename.",
    "Failed to remove.",
    "Failed to create directory.",
    "Failed to get current directory.",
    "Not a directory.",
    "Unable to obtain free disk space.",
    "Unable to access file.",
    nullptr,
    "An error occured. (No changes made.)",
};

const char* const timeTexts[] = {
    "No exception!",
    "Days out of range: (0 - 24,855).",
    "Hours out of range: (0-23).",
    "Minutes out of range: (0-59).",
    "Seconds out of range: (0-59).",
    "Year out of range: (1970 - 2037).",
    "Month out of range: (1 - 12).",
    "Day out of range: (1 - days of the month in question).",
    "Illegal date and/or time.",
    "Illegal date/time. Cannot have date before 01.01.1970 0:00:00!",
    "Illegal input format.",
};

const char* const ipcTexts[] = {
    "No exception!",
    "Cannot find message file for IPC.",
    "Unable to create communication channel.",
    "Receiver cannot send.",
    "Sender cannot receive.",
    "Unable to send message.",
    "Unable to receive messages.",
    "Out of memory.",
};

const char* const jobTexts[] = {
    "No exception!",
    "The job was never started. execute() missing or failed",
    "Unable to start the job. Consult OS error code for more details.",
    "Unable to terminate the job. Consult OS error code for more details.",
    "The job is still running. This is not compatible with this method.",
    "An unknown error occured. Consult OS error code and contact developer.",
    "Out of memory.",
    "Unable to access external process.",
    "Unable to access thread in external process.",
};

const char* const configTexts[] = {
    "Out of memory.",
    "Error in conf file.",
    "Unable to decompress buffer.",
};

template <size_t N>
const char* lookupIn(const char* const (&table)[N], int32_t code)
{
    return lookup(table, N, code);
}

} // namespace

Exception::Exception(int32_t code) : code_(code) {}

Exception::Exception(int32_t code, const std::string& message, const char* sourcePath, int32_t line)
    : code_(code), message_(message)
{
    addTrace(sourcePath, line);
}

Exception::~Exception() = default;

std::string Exception::describeWith(const char* familyWord, const char* codeMessage) const
{
    std::string text(familyWord);
    text += ": ";
    text += (codeMessage != nullptr && *codeMessage != '\0') ? codeMessage : "Unknown error";
    text += " (Code: ";
    text += codeText();
    text += ")";
    return text;
}

std::string Exception::describe() const { return describeWith("Exception", ""); }

int32_t Exception::familyNumber() const { return 63; }

void Exception::addTrace(const char* sourcePath, int32_t line)
{
    if (sourcePath == nullptr || *sourcePath == '\0')
        return;
    std::string module(sourcePath);
    size_t sep = module.find_last_of("\\/");
    if (sep != std::string::npos)
        module.erase(0, sep + 1);
    size_t dot = module.rfind('.');
    if (dot != std::string::npos)
        module.erase(dot);
    trace_.push_back(TraceEntry{module, line});
}

std::string Exception::codeText() const
{
    return std::to_string(familyNumber()) + "." + std::to_string(code_);
}

std::string Exception::fullText() const
{
    std::string text = reason_.empty() ? describe() : reason_ + " (" + describe() + ")";
    if (!message_.empty())
        text += "\r\n  >  (" + message_ + ")";
    if (!trace_.empty()) {
        text += "\r\n  >  ";
        for (size_t i = 0; i < trace_.size(); ++i) {
            if (i > 0)
                text += " - ";
            text += trace_[i].module + "(" + std::to_string(trace_[i].line) + ")";
        }
    }
    return text;
}

#define TELVAR_FAMILY_IMPL(Name, word, table)                                              \
    const char* Name::codeMessage(int32_t code) { return lookupIn(table, code); }          \
    std::string Name::describe() const { return describeWith(word, codeMessage(code())); } \
    int32_t Name::familyNumber() const { return FAMILY; }

TELVAR_FAMILY_IMPL(FileException, "File", fileTexts)
TELVAR_FAMILY_IMPL(TimeException, "Time", timeTexts)
TELVAR_FAMILY_IMPL(IPCException, "IPC", ipcTexts)
TELVAR_FAMILY_IMPL(JobException, "Job", jobTexts)
TELVAR_FAMILY_IMPL(ConfigException, "Configuration", configTexts)

#undef TELVAR_FAMILY_IMPL

} // namespace Telvar
