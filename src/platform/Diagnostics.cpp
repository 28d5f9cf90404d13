#include "Diagnostics.h"

#include <cstdarg>
#include <cstdio>

void Diagnostics::Print(Stream stream, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) {
        return;
    }
    const size_t size = static_cast<size_t>(length) < sizeof buffer ? static_cast<size_t>(length) : sizeof buffer - 1;
    Write(stream, std::string_view(buffer, size));
}

void StdDiagnostics::Write(Stream stream, std::string_view text) {
    std::lock_guard lock(m_mutex);
    FILE* file = (stream == Stream::Err || m_everythingToStderr) ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fflush(file);
}

void RecordingDiagnostics::Write(Stream stream, std::string_view text) {
    std::lock_guard lock(m_mutex);
    m_lines.push_back({stream, std::string(text)});
}

std::vector<RecordingDiagnostics::Line> RecordingDiagnostics::Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

std::string RecordingDiagnostics::Text(Stream stream) const {
    std::lock_guard lock(m_mutex);
    std::string text;
    for (const Line& line : m_lines) {
        if (line.stream == stream) {
            text += line.text;
        }
    }
    return text;
}

void RecordingDiagnostics::Clear() {
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}
