// The components that the log configuration can name.
#pragma once
#include <string>

#include "logging/log_manager.h"
#include "platform/clock.h"
#include "platform/output_file.h"

class CSimpleLayout : public LogLayout {
public:
    void applySettings(const LogSettings& settings) override;
    std::string format(const LogMessage& message) const override;
    void describeForCrash(CrashSink& sink) const override;

    // Local time as the layout shows it: strftime conventions, or "%ms" for hh:mm:ss.milliseconds.
    static std::string formatTime(const std::string& format, const platform::LocalTime& time);
    // Whether every conversion of the format is one that the Windows C runtime's strftime knows
    // (others print nothing there or end the process in its invalid-parameter handler), and
    // the format is short enough for the layout's buffer.
    static bool isSupportedTimeFormat(const std::string& format);
    // The configured time format that was refused in favour of the default; empty when none.
    const std::string& refusedTimeFormat() const { return refusedTimeFormat_; }

private:
    bool includeTime_ = false;
    std::string timeFormat_ = "%X";
    std::string refusedTimeFormat_;
    bool includeThread_ = false;
    bool includePriorities_ = false;
    bool includeProperties_ = false;
};

class CPriorityFilter : public LogFilter {
public:
    void applySettings(const LogSettings& settings) override;
    bool accepts(const LogMessage& message) const override;

private:
    int priority_ = 200;
    bool complete_ = false;
    bool deny_ = false;
};

class CStdAppender : public LogAppender {
public:
    void applySettings(const LogSettings& settings) override;

protected:
    intptr_t rawOutput(bool& crlf) const override;
    void write(const LogMessage& message, const std::string& text) override;
};

class CMessageBoxAppender : public LogAppender {
public:
    void applySettings(const LogSettings& settings) override;

protected:
    void write(const LogMessage& message, const std::string& text) override;
};

class CFileAppender : public LogAppender {
public:
    void setPostfix(const std::string& postfix) { postfix_ = postfix; }
    void applySettings(const LogSettings& settings) override;
    // The name of the file being written, empty before the settings are applied.
    const std::string& fileName() const { return openName_; }

    // The postfix goes in front of the file name's last "."; a name without "." keeps its name.
    static std::string composeFileName(const std::string& fileName, const std::string& postfix);
    // "_YYYYMMDD_hhmmss" in front of the file name's extension (at the end when it has none).
    static std::string timeStampedFileName(const std::string& fileName, const platform::LocalTime& time);

protected:
    void write(const LogMessage& message, const std::string& text) override;
    intptr_t rawOutput(bool& crlf) const override;

private:
    std::string postfix_;
    std::string openName_;
    platform::OutputFile file_;
};
