#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Where the network code's diagnostic lines go. Nothing reads them; they exist for whoever watches a terminal.
// Lines are printf-formatted by the caller and keep their own "\n".
class Diagnostics {
  public:
    enum class Stream { Out, Err };

    virtual ~Diagnostics() = default;
    virtual void Write(Stream stream, std::string_view text) = 0;

    void Print(Stream stream, const char* format, ...) __attribute__((format(printf, 3, 4)));
};

// The process's standard streams. The GUI keeps each line on the stream it names; the headless commands
// reserve stdout for their results and pass everything to stderr. Safe to call from any thread.
class StdDiagnostics : public Diagnostics {
  public:
    explicit StdDiagnostics(bool everythingToStderr = false) : m_everythingToStderr(everythingToStderr) {}
    void Write(Stream stream, std::string_view text) override;

  private:
    bool m_everythingToStderr;
    std::mutex m_mutex;
};

// Keeps every line, for tests and for callers that want to show them later. Safe to call from any thread.
class RecordingDiagnostics : public Diagnostics {
  public:
    struct Line {
        Stream stream;
        std::string text;
    };

    void Write(Stream stream, std::string_view text) override;
    std::vector<Line> Lines() const;
    // All text written to one stream, concatenated in order.
    std::string Text(Stream stream) const;
    void Clear();

  private:
    mutable std::mutex m_mutex;
    std::vector<Line> m_lines;
};
