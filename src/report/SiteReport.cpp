#include "SiteReport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>

#include "Csv.h"
#include "Ipv4Text.h"

namespace {

std::string Address(uint32_t address) {
    return address != 0 ? FormatDottedAddress(address) : "";
}

std::string Address(const std::optional<uint32_t>& address) {
    return address ? FormatDottedAddress(*address) : "";
}

// The columns every format shows, in order.
struct Column {
    const char* name;
    std::string (*cell)(const InstallRecord&);
    const char* label;  // the heading of the HTML and PDF table
    int percent;        // of the table's width
    bool wraps;         // free text; the others stay on one line
};

const std::vector<Column>& Columns() {
    static const std::vector<Column> columns{
        {"mac", [](const InstallRecord& r) { return r.mac.Text(); }, "MAC", 9, false},
        {"model", [](const InstallRecord& r) { return r.model; }, "Model", 6, false},
        {"old_address", [](const InstallRecord& r) { return Address(r.oldAddress); }, "Old address", 7, false},
        {"new_address", [](const InstallRecord& r) { return Address(r.newAddress); }, "New address", 7, false},
        {"mask", [](const InstallRecord& r) { return Address(r.mask); }, "Mask", 7, false},
        {"gateway", [](const InstallRecord& r) { return Address(r.gateway); }, "Gateway", 6, false},
        {"dns1", [](const InstallRecord& r) { return Address(r.dns1); }, "DNS 1", 6, false},
        {"dns2", [](const InstallRecord& r) { return Address(r.dns2); }, "DNS 2", 6, false},
        {"ssid", [](const InstallRecord& r) { return r.ssid.value_or(""); }, "SSID", 6, true},
        {"time", [](const InstallRecord& r) { return r.time; }, "Time (UTC)", 8, true},
        {"action", [](const InstallRecord& r) { return r.action; }, "Action", 4, false},
        {"outcome", [](const InstallRecord& r) { return r.outcome; }, "Outcome", 6, false},
        {"verified", [](const InstallRecord& r) { return VerifiedText(r); }, "Verified", 6, true},
        {"changed", [](const InstallRecord& r) { return ChangedText(r); }, "Tags changed", 16, true},
    };
    return columns;
}

// A cell as a person reads it: the time to the second, date and time apart.
std::string ShownCell(const Column& column, const InstallRecord& row) {
    std::string cell = column.cell(row);
    if (std::string(column.name) == "time" && cell.size() >= 19 && cell[10] == 'T') {
        cell = cell.substr(0, 10) + " " + cell.substr(11, 8);
    }
    return cell;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

std::optional<ReportFormat> ParseReportFormat(const std::string& name) {
    if (name == "pdf") {
        return ReportFormat::Pdf;
    }
    if (name == "html") {
        return ReportFormat::Html;
    }
    if (name == "csv") {
        return ReportFormat::Csv;
    }
    if (name == "json") {
        return ReportFormat::Json;
    }
    return std::nullopt;
}

bool IsReportDate(const std::string& text) {
    // A prefix of "YYYY-MM-DDTHH:MM:SS", at least the date, each position a digit or its separator.
    static const std::string shape = "0000-00-00T00:00:00";
    if (text.size() < 10 || text.size() > shape.size() + 5) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        if (i >= shape.size()) {
            // Fractions of a second and the zone: ".123Z".
            if (text.find_first_not_of("0123456789.Z", shape.size()) != std::string::npos) {
                return false;
            }
            break;
        }
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

std::vector<InstallRecord> ReportRows(const std::vector<InstallRecord>& records, const std::string& since,
                                      const std::optional<std::vector<MacAddress>>& macs) {
    std::map<std::string, InstallRecord> latest;
    for (const InstallRecord& record : records) {
        // ISO 8601 in UTC compares as text.
        if (!since.empty() && record.time.compare(0, since.size(), since) < 0) {
            continue;
        }
        if (macs && std::find(macs->begin(), macs->end(), record.mac) == macs->end()) {
            continue;
        }
        auto [it, added] = latest.try_emplace(record.mac.Text(), record);
        if (!added && it->second.stem <= record.stem) {
            it->second = record;
        }
    }
    std::vector<InstallRecord> rows;
    for (auto& [mac, record] : latest) {
        rows.push_back(std::move(record));
    }
    return rows;
}

std::string ChangedText(const InstallRecord& record) {
    std::string text;
    for (const ChangedTag& c : record.changed) {
        text += text.empty() ? "" : "; ";
        text += c.tag + ": " + (c.hidden ? std::string("changed") : c.before + " -> " + c.after);
    }
    return text;
}

std::string VerifiedText(const InstallRecord& record) {
    switch (record.readBack) {
        case ReadBack::Verified:
            return "yes";
        case ReadBack::Differs: {
            std::string tags;
            for (const ReadBackDifference& d : record.differences) {
                tags += (tags.empty() ? "" : ", ") + d.tag;
            }
            return "no: " + tags;
        }
        case ReadBack::Unreadable:
            return "unread";
        case ReadBack::NotReached:
            return "";
    }
    return "";
}

std::string ReportCsv(const std::vector<InstallRecord>& rows) {
    std::vector<std::string> header;
    for (const Column& column : Columns()) {
        header.push_back(column.name);
    }
    std::string text = CsvRecord(header);
    for (const InstallRecord& row : rows) {
        std::vector<std::string> cells;
        for (const Column& column : Columns()) {
            cells.push_back(column.cell(row));
        }
        text += CsvRecord(cells);
    }
    return text;
}

std::string ReportJson(const std::vector<InstallRecord>& rows) {
    QJsonArray cameras;
    for (const InstallRecord& row : rows) {
        QJsonObject camera;
        for (const Column& column : Columns()) {
            if (std::string(column.name) != "changed") {
                camera[column.name] = QString::fromStdString(column.cell(row));
            }
        }
        QJsonArray changed;
        for (const ChangedTag& c : row.changed) {
            QJsonObject tag{{"tag", QString::fromStdString(c.tag)}};
            if (!c.hidden) {
                tag["old"] = QString::fromStdString(c.before);
                tag["new"] = QString::fromStdString(c.after);
            }
            changed.append(tag);
        }
        camera["changed"] = changed;
        cameras.append(camera);
    }
    return QJsonDocument(QJsonObject{{"title", kReportTitle}, {"cameras", cameras}})
        .toJson(QJsonDocument::Indented)
        .toStdString();
}

std::string ReportHtml(const std::vector<InstallRecord>& rows, const std::string& generated) {
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>";
    html += kReportTitle;
    html +=
        "</title>\n<style>body{font-family:sans-serif;font-size:9pt}table{border-collapse:collapse}"
        "th,td{border:1px solid #888;padding:2px 4px;text-align:left;vertical-align:top}</style></head>\n<body>\n";
    html += "<h1>" + std::string(kReportTitle) + "</h1>\n<p>" + Escaped(generated) + ", " +
            std::to_string(rows.size()) + (rows.size() == 1 ? " camera" : " cameras") + "</p>\n";
    html += "<table width=\"100%\" cellspacing=\"0\">\n<thead><tr>";
    for (const Column& column : Columns()) {
        html += "<th width=\"" + std::to_string(column.percent) + "%\">" + column.label + "</th>";
    }
    html += "</tr></thead>\n<tbody>\n";
    for (const InstallRecord& row : rows) {
        html += "<tr>";
        for (const Column& column : Columns()) {
            const std::string cell = ShownCell(column, row);
            html += (column.wraps ? "<td>" : "<td style=\"white-space:nowrap\">") + Escaped(cell) + "</td>";
        }
        html += "</tr>\n";
    }
    html += "</tbody></table>\n</body></html>\n";
    return html;
}

namespace {

// The report's table on PDF pages, laid out row by row: each cell wraps within its column, no row is split between
// pages, and the heading repeats on every page.
class PdfTable {
  public:
    PdfTable(QPainter& painter, const QRectF& page, int resolution)
        : m_painter(painter), m_page(page), m_pad(resolution * 0.02) {
        m_x.push_back(0);
        for (const Column& column : Columns()) {
            m_x.push_back(m_x.back() + page.width() * column.percent / 100.0);
            m_heading.push_back(QString::fromLatin1(column.label));
        }
        m_painter.setFont(m_titleFont);
        m_titleHeight = m_painter.fontMetrics().height() * 1.2;
        m_painter.setFont(m_cellFont);
        m_lineHeight = m_painter.fontMetrics().height() * 1.5;
        m_footer = m_lineHeight * 1.5;
        m_headHeight = Height(m_headFont, m_heading);
    }

    // Pagination first, so that every page can say how many there are.
    void Paginate(const std::vector<InstallRecord>& rows) {
        double y = m_titleHeight + m_lineHeight + m_headHeight;
        for (const InstallRecord& row : rows) {
            m_cells.emplace_back();
            for (const Column& column : Columns()) {
                m_cells.back().push_back(QString::fromStdString(ShownCell(column, row)));
            }
            const double h = std::min(Height(m_cellFont, m_cells.back()), m_page.height() - m_footer - m_headHeight);
            if (y + h > m_page.height() - m_footer && y > m_headHeight) {
                ++m_pages;
                y = m_headHeight;
            }
            m_heights.push_back(h);
            m_pageOf.push_back(m_pages);
            y += h;
        }
    }

    int Pages() const { return m_pages; }

    // Page n of Pages(): the title and `subtitle` on the first, the heading, its rows, its number.
    void DrawPage(int n, const QString& subtitle) {
        double y = 0;
        if (n == 1) {
            m_painter.setFont(m_titleFont);
            m_painter.drawText(QRectF(0, 0, m_page.width(), m_titleHeight), Qt::AlignLeft | Qt::AlignTop,
                               QString::fromLatin1(kReportTitle));
            m_painter.setFont(m_cellFont);
            m_painter.drawText(QRectF(0, m_titleHeight, m_page.width(), m_lineHeight), Qt::AlignLeft | Qt::AlignTop,
                               subtitle);
            y = m_titleHeight + m_lineHeight;
        }
        Draw(m_headFont, m_heading, y, m_headHeight);
        y += m_headHeight;
        for (; m_next < m_cells.size() && m_pageOf[m_next] == n; ++m_next) {
            Draw(m_cellFont, m_cells[m_next], y, m_heights[m_next]);
            y += m_heights[m_next];
        }
        m_painter.setFont(m_cellFont);
        m_painter.drawText(QRectF(0, m_page.height() - m_footer, m_page.width(), m_footer),
                           Qt::AlignRight | Qt::AlignBottom, QStringLiteral("Page %1 of %2").arg(n).arg(m_pages));
    }

  private:
    static constexpr int kFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWrapAnywhere;

    double Height(const QFont& font, const std::vector<QString>& cells) {
        m_painter.setFont(font);
        double tallest = 0;
        for (size_t i = 0; i < cells.size(); ++i) {
            const QRectF room(0, 0, m_x[i + 1] - m_x[i] - 2 * m_pad, m_page.height());
            tallest = std::max(tallest, m_painter.boundingRect(room, kFlags, cells[i]).height());
        }
        return tallest + 2 * m_pad;
    }

    void Draw(const QFont& font, const std::vector<QString>& cells, double top, double rowHeight) {
        m_painter.setFont(font);
        for (size_t i = 0; i < cells.size(); ++i) {
            const QRectF cell(m_x[i], top, m_x[i + 1] - m_x[i], rowHeight);
            m_painter.drawRect(cell);
            m_painter.drawText(cell.adjusted(m_pad, m_pad, -m_pad, -m_pad), kFlags, cells[i]);
        }
    }

    QPainter& m_painter;
    const QRectF m_page;
    const double m_pad;
    const QFont m_titleFont{QStringLiteral("DejaVu Sans"), 12, QFont::Bold};
    const QFont m_headFont{QStringLiteral("DejaVu Sans"), 6, QFont::Bold};
    const QFont m_cellFont{QStringLiteral("DejaVu Sans"), 6};
    std::vector<double> m_x;
    std::vector<QString> m_heading;
    double m_titleHeight = 0;
    double m_lineHeight = 0;
    double m_footer = 0;
    double m_headHeight = 0;
    std::vector<std::vector<QString>> m_cells;
    std::vector<double> m_heights;
    std::vector<int> m_pageOf;
    int m_pages = 1;
    size_t m_next = 0;
};

}  // namespace

bool WriteReportPdf(const std::vector<InstallRecord>& rows, const std::string& generated, const std::string& path,
                    std::string* error) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = path + ": " + file.errorString().toStdString();
        return false;
    }
    QPdfWriter writer(&file);
    writer.setTitle(QString::fromLatin1(kReportTitle));
    writer.setCreator(QStringLiteral("camera-setup"));
    writer.setResolution(300);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 12, 12, 12),
                                     QPageLayout::Millimeter));
    QPainter painter;
    if (!painter.begin(&writer)) {
        *error = path + ": the PDF could not be started";
        return false;
    }
    PdfTable table(painter, writer.pageLayout().paintRectPixels(writer.resolution()), writer.resolution());
    table.Paginate(rows);
    const QString subtitle = QString::fromStdString(generated) + QStringLiteral(", ") +
                             QStringLiteral("%1 camera%2").arg(rows.size()).arg(rows.size() == 1 ? "" : "s");
    for (int n = 1; n <= table.Pages(); ++n) {
        if (n > 1) {
            writer.newPage();
        }
        table.DrawPage(n, subtitle);
    }
    if (!painter.end()) {
        *error = path + ": the PDF could not be finished";
        return false;
    }
    file.close();
    if (file.error() != QFileDevice::NoError) {
        *error = path + ": " + file.errorString().toStdString();
        return false;
    }
    return true;
}

bool WriteReport(const std::vector<InstallRecord>& rows, ReportFormat format, const std::string& path,
                 std::string* error) {
    const std::string generated =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")).toStdString();
    if (format == ReportFormat::Pdf) {
        return WriteReportPdf(rows, generated, path, error);
    }
    const std::string text = format == ReportFormat::Html   ? ReportHtml(rows, generated)
                             : format == ReportFormat::Json ? ReportJson(rows)
                                                            : ReportCsv(rows);
    if (path.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        *error = path + ": cannot be written";
        return false;
    }
    return true;
}
