#pragma once

// Reads a camera's config.ini line by line from a byte stream. A carriage return is dropped wherever it stands;
// a line feed ends a line; the end of the stream ends the last line when that line holds at least one character.
// An empty line is a line. At most kMaxHeld characters of a line are held: a longer line is reported as Long,
// with its first kMaxHeld characters, and its rest stays in the stream until CopyRest or SkipRest consumes it,
// so memory stays bounded whatever the input and no line is ever cut or split.

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>

class ConfigLineReader {
  public:
    static constexpr size_t kMaxHeld = 255;

    enum class Result {
        End,       // no further line; `line` is empty
        Complete,  // `line` is the whole line
        Long,      // `line` is the first kMaxHeld characters; the rest is still unread
    };

    explicit ConfigLineReader(std::istream& in) : m_in(in) {}

    Result Next(std::string& line);
    // After Long: copies the rest of the line (carriage returns dropped, line feed consumed, not copied).
    void CopyRest(std::ostream& out);
    // After Long: consumes the rest of the line.
    void SkipRest();

  private:
    std::istream& m_in;
};
