#include "ConfigLineReader.h"

namespace {
constexpr int kCr = 13;
constexpr int kLf = 10;
constexpr int kEof = std::char_traits<char>::eof();
}  // namespace

ConfigLineReader::Result ConfigLineReader::Next(std::string& line) {
    line.clear();
    for (;;) {
        // A full buffer only decides between Complete and Long; the next character stays in the stream.
        const int c = line.size() == kMaxHeld ? m_in.peek() : m_in.get();
        if (c == kEof) {
            return line.empty() ? Result::End : Result::Complete;
        }
        if (line.size() == kMaxHeld) {
            if (c != kCr && c != kLf) {
                return Result::Long;
            }
            m_in.get();
        }
        if (c == kCr) {
            continue;
        }
        if (c == kLf) {
            return Result::Complete;
        }
        line.push_back(static_cast<char>(c));
    }
}

void ConfigLineReader::CopyRest(std::ostream& out) {
    for (int c = m_in.get(); c != kEof && c != kLf; c = m_in.get()) {
        if (c != kCr) {
            out.put(static_cast<char>(c));
        }
    }
}

void ConfigLineReader::SkipRest() {
    for (int c = m_in.get(); c != kEof && c != kLf; c = m_in.get()) {
    }
}
