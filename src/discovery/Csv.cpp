#include "Csv.h"

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// One pass over the text; lines are counted (quoted line breaks included) so that messages can name them.
class CsvReader {
  public:
    CsvReader(std::string_view text, CsvError* error) : m_text(text), m_error(error) {}

    std::optional<CsvTable> ReadAll() {
        if (m_text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
            m_position = kByteOrderMark.size();
        }
        CsvTable table;
        while (m_position < m_text.size()) {
            if (AtLineEnd()) {
                SkipLineEnd();
                continue;
            }
            const int line = m_line;
            std::vector<std::string> record;
            if (!ReadRecord(record)) {
                return std::nullopt;
            }
            table.records.push_back(std::move(record));
            table.lines.push_back(line);
        }
        return table;
    }

  private:
    bool AtLineEnd() const { return m_text[m_position] == '\n' || m_text[m_position] == '\r'; }

    // CR LF, LF or a lone CR.
    void SkipLineEnd() {
        if (m_text[m_position] == '\r' && m_position + 1 < m_text.size() && m_text[m_position + 1] == '\n') {
            ++m_position;
        }
        ++m_position;
        ++m_line;
    }

    bool Fail(const char* message) {
        *m_error = CsvError{m_line, message};
        return false;
    }

    bool ReadRecord(std::vector<std::string>& record) {
        while (true) {
            std::string field;
            if (!ReadField(field)) {
                return false;
            }
            record.push_back(std::move(field));
            if (m_position >= m_text.size()) {
                return true;
            }
            if (AtLineEnd()) {
                SkipLineEnd();
                return true;
            }
            ++m_position;  // the comma
        }
    }

    // Stops on the comma or line end after the field, or at the end of the text.
    bool ReadField(std::string& field) {
        if (m_position < m_text.size() && m_text[m_position] == '"') {
            return ReadQuotedField(field);
        }
        while (m_position < m_text.size()) {
            const char c = m_text[m_position];
            if (c == ',' || c == '\n' || c == '\r') {
                break;
            }
            if (c == '\0') {
                return Fail("a NUL byte");
            }
            field += c;
            ++m_position;
        }
        return true;
    }

    bool ReadQuotedField(std::string& field) {
        const int opened = m_line;
        ++m_position;
        while (true) {
            if (m_position >= m_text.size()) {
                m_line = opened;
                return Fail("a quoted field is not closed");
            }
            const char c = m_text[m_position];
            if (c == '\0') {
                return Fail("a NUL byte");
            }
            if (c == '"') {
                if (m_position + 1 < m_text.size() && m_text[m_position + 1] == '"') {
                    field += '"';
                    m_position += 2;
                    continue;
                }
                ++m_position;
                break;
            }
            if (c == '\n' || (c == '\r' && (m_position + 1 >= m_text.size() || m_text[m_position + 1] != '\n'))) {
                ++m_line;
            }
            field += c;
            ++m_position;
        }
        if (m_position < m_text.size() && m_text[m_position] != ',' && !AtLineEnd()) {
            return Fail("text after a closing quote");
        }
        return true;
    }

    std::string_view m_text;
    CsvError* m_error;
    size_t m_position = 0;
    int m_line = 1;
};

}  // namespace

std::optional<CsvTable> ReadCsv(std::string_view text, CsvError* error) {
    return CsvReader(text, error).ReadAll();
}

std::string CsvField(std::string_view cell) {
    std::string text;
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos) {
        text = "'";
    }
    text += cell;
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string CsvRecord(const std::vector<std::string>& fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        // Appended piece by piece: GCC 12 at -O3 misreads `"," + std::string` (-Wrestrict).
        out += i ? "," : "";
        out += CsvField(fields[i]);
    }
    out += "\n";
    return out;
}
