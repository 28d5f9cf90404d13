#include "SiteReport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QTextDocument>

#include <algorithm>
#include <map>

#include "Csv.h"
#include "DottedAddress.h"

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
};

const std::vector<Column>& Columns() {
    static const std::vector<Column> columns{
        {"mac", [](const InstallRecord& r) { return r.mac.Text(); }},
        {"model", [](const InstallRecord& r) { return r.model; }},
        {"old_address", [](const InstallRecord& r) { return Address(r.oldAddress); }},
        {"new_address", [](const InstallRecord& r) { return Address(r.newAddress); }},
        {"mask", [](const InstallRecord& r) { return Address(r.mask); }},
        {"gateway", [](const InstallRecord& r) { return Address(r.gateway); }},
        {"dns1", [](const InstallRecord& r) { return Address(r.dns1); }},
        {"dns2", [](const InstallRecord& r) { return Address(r.dns2); }},
        {"ssid", [](const InstallRecord& r) { return r.ssid.value_or(""); }},
        {"time", [](const InstallRecord& r) { return r.time; }},
        {"action", [](const InstallRecord& r) { return r.action; }},
        {"outcome", [](const InstallRecord& r) { return r.outcome; }},
        {"verified", [](const InstallRecord& r) { return VerifiedText(r); }},
        {"changed", [](const InstallRecord& r) { return ChangedText(r); }},
    };
    return columns;
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
    html += "<table>\n<thead><tr>";
    for (const Column& column : Columns()) {
        html += "<th>" + std::string(column.name) + "</th>";
    }
    html += "</tr></thead>\n<tbody>\n";
    for (const InstallRecord& row : rows) {
        html += "<tr>";
        for (const Column& column : Columns()) {
            // Addresses and times stay whole on one line; free text may wrap.
            const std::string name = column.name;
            const bool wraps = name == "ssid" || name == "changed" || name == "verified";
            html += (wraps ? "<td>" : "<td style=\"white-space:nowrap\">") + Escaped(column.cell(row)) + "</td>";
        }
        html += "</tr>\n";
    }
    html += "</tbody></table>\n</body></html>\n";
    return html;
}

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
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape, QMarginsF(12, 12, 12, 16),
                                     QPageLayout::Millimeter));

    QTextDocument document;
    document.setDefaultFont(QFont(QStringLiteral("DejaVu Sans"), 7));
    document.setHtml(QString::fromStdString(ReportHtml(rows, generated)));
    const QRectF page = writer.pageLayout().paintRectPixels(writer.resolution());
    // Laid out in points, painted scaled to the writer's pixels.
    const double scale = writer.resolution() / 72.0;
    const QSizeF pageSize(page.width() / scale, page.height() / scale);
    const double footer = 14;
    document.setPageSize(QSizeF(pageSize.width(), pageSize.height() - footer));

    QPainter painter;
    if (!painter.begin(&writer)) {
        *error = path + ": the PDF could not be started";
        return false;
    }
    painter.scale(scale, scale);
    const int pages = document.pageCount();
    const double body = pageSize.height() - footer;
    for (int n = 0; n < pages; ++n) {
        if (n > 0) {
            writer.newPage();
        }
        painter.save();
        painter.translate(0, -n * body);
        document.drawContents(&painter, QRectF(0, n * body, pageSize.width(), body));
        painter.restore();
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 7));
        painter.drawText(QRectF(0, body, pageSize.width(), footer), Qt::AlignRight | Qt::AlignBottom,
                         QStringLiteral("Page %1 of %2").arg(n + 1).arg(pages));
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
