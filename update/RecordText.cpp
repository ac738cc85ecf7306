// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/RecordText.h"

#include "update/ImageFormats.h"

#include <QList>
#include <optional>

namespace {

struct Line {
    int number = 0;
    QByteArrayView text; // without its line end and the blanks around it
};

// Reads the lines of a file one at a time. LF, CR LF and CR alone each end a line: editors and
// old toolchains write all three. DOS's end-of-file mark (Ctrl-Z) and NUL bytes that some tools
// leave at the end count as blanks.
class LineReader {
  public:
    explicit LineReader(const QByteArray& file) : m_file(file) {}
    bool Next(Line& line) {
        if (m_at >= m_file.size()) {
            return false;
        }
        qsizetype end = m_at;
        while (end < m_file.size() && m_file[end] != '\n' && m_file[end] != '\r') {
            ++end;
        }
        line.number = ++m_number;
        line.text = Trimmed(QByteArrayView(m_file).sliced(m_at, end - m_at));
        m_at = end;
        if (m_at < m_file.size() && m_file[m_at] == '\r') {
            ++m_at;
            if (m_at < m_file.size() && m_file[m_at] == '\n') {
                ++m_at; // CR LF ends one line
            }
        } else if (m_at < m_file.size()) {
            ++m_at; // LF
        }
        return true;
    }

  private:
    static bool Blank(char c) {
        return c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\x1a' || c == '\0';
    }
    static QByteArrayView Trimmed(QByteArrayView text) {
        while (!text.isEmpty() && Blank(text.front())) {
            text = text.sliced(1);
        }
        while (!text.isEmpty() && Blank(text.back())) {
            text.chop(1);
        }
        return text;
    }
    const QByteArray& m_file;
    qsizetype m_at = 0;
    int m_number = 0;
};

// The checked text, one record a line, and for each of its lines the file's line it came from.
struct Records {
    QByteArray text;
    QList<int> origin; // origin[i]: the file's line of the text's line i + 1; 0 for one added

    void Add(const QByteArray& record, int fileLine) {
        text += record + '\n';
        origin << fileLine;
    }
    void Prepend(const QByteArray& record) {
        text.prepend(record + '\n');
        origin.prepend(0);
    }
};

bool IsRecordBody(QByteArrayView digits, qsizetype leastDigits) {
    if (digits.size() < leastDigits || digits.size() % 2 != 0) {
        return false;
    }
    for (const char c : digits) {
        const bool digit =
            (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
        if (!digit) {
            return false;
        }
    }
    return true;
}

RecordText Refused(const QString& reason) {
    return {false, {}, {}, reason};
}

RecordText Accepted(Records records) {
    return {true, std::move(records.text), std::move(records.origin), {}};
}

QString Garbage(int line, ImageFormat format) {
    return QStringLiteral("line %1 is garbage, not %2.")
        .arg(line)
        .arg(format == ImageFormat::IntelHex ? QStringLiteral("an Intel HEX record")
                                             : QStringLiteral("an S-record"));
}

QString Joined(int line, int endLine, const char* endName, const char* join) {
    return QStringLiteral("line %1 follows the %2 of line %3: the file looks like two files joined "
                          "with cat, and only the first of them would be flashed. Join them with "
                          "srec_cat instead (%4).")
        .arg(line)
        .arg(QLatin1String(endName))
        .arg(endLine)
        .arg(QLatin1String(join));
}

QString OtherStartAddress(int line, int firstLine) {
    return QStringLiteral("line %1 gives another start address than line %2: the file looks like "
                          "two files joined.")
        .arg(line)
        .arg(firstLine);
}

RecordText CheckIntelHex(LineReader& lines) {
    Records records;
    int endLine = 0;
    QByteArray start; // the first start-address record
    int startLine = 0;
    for (Line line; lines.Next(line);) {
        if (line.text.isEmpty()) {
            continue;
        }
        if (endLine != 0) {
            if (line.text.compare(QByteArrayView(":00000001FF"), Qt::CaseInsensitive) == 0) {
                continue; // the same end record again: harmless
            }
            return Refused(Joined(line.number, endLine, "end-of-file record",
                                  "srec_cat a.hex -intel b.hex -intel -o joined.hex -intel"));
        }
        if (!line.text.startsWith(':') || !IsRecordBody(line.text.sliced(1), 10)) {
            return Refused(Garbage(line.number, ImageFormat::IntelHex));
        }
        const QByteArray record = line.text.toByteArray().toUpper();
        const QByteArrayView type = QByteArrayView(record).sliced(7, 2);
        if (type == "01") {
            endLine = line.number;
        } else if (type == "03" || type == "05") {
            if (startLine != 0) {
                if (record == start) {
                    continue; // the same start address again: harmless
                }
                return Refused(OtherStartAddress(line.number, startLine));
            }
            start = record;
            startLine = line.number;
        }
        records.Add(record, line.number);
    }
    if (endLine == 0) {
        return Refused(QStringLiteral("the file has no end-of-file record (:00000001FF): it may "
                                      "be cut short."));
    }
    return Accepted(std::move(records));
}

RecordText CheckSRecord(LineReader& lines) {
    Records records;
    bool header = false;
    int dataRecords = 0;
    std::optional<qulonglong> count;
    int countLine = 0;
    QByteArray termination;
    int terminationLine = 0;
    for (Line line; lines.Next(line);) {
        if (line.text.isEmpty()) {
            continue;
        }
        const QByteArray record = line.text.toByteArray().toUpper();
        if (record.size() < 2 || record[0] != 'S' || record[1] < '0' || record[1] > '9' ||
            !IsRecordBody(QByteArrayView(record).sliced(2), 6)) {
            return Refused(Garbage(line.number, ImageFormat::SRecord));
        }
        const char type = record[1];
        const bool isTermination = type == '7' || type == '8' || type == '9';
        if (terminationLine != 0) {
            if (record == termination) {
                continue; // the same start address again: harmless
            }
            if (isTermination) {
                return Refused(OtherStartAddress(line.number, terminationLine));
            }
            return Refused(Joined(line.number, terminationLine, "termination record",
                                  "srec_cat a.srec b.srec -o joined.srec"));
        }
        switch (type) {
        case '0':
            header = true;
            break;
        case '1':
        case '2':
        case '3':
            ++dataRecords;
            break;
        case '5':
        case '6':
            count = record.mid(4, type == '5' ? 4 : 6).toULongLong(nullptr, 16);
            countLine = line.number;
            break;
        case '7':
        case '8':
        case '9':
            termination = record;
            terminationLine = line.number;
            break;
        default:
            return Refused(Garbage(line.number, ImageFormat::SRecord));
        }
        records.Add(record, line.number);
    }
    if (count && *count != qulonglong(dataRecords)) {
        return Refused(QStringLiteral("the count record of line %1 says %2 data records, but the "
                                      "file holds %3: it may be cut short or joined.")
                           .arg(countLine)
                           .arg(*count)
                           .arg(dataRecords));
    }
    if (terminationLine == 0 && !count) {
        return Refused(QStringLiteral("the file ends with neither a termination record (S7, S8 or "
                                      "S9) nor a count record (S5, S6): it may be cut short."));
    }
    // The reader wants a header and a termination record; the count vouches for the end.
    if (!header) {
        records.Prepend("S0030000FC");
    }
    if (terminationLine == 0) {
        records.Add("S9030000FC", 0);
    }
    return Accepted(std::move(records));
}

} // namespace

RecordText CheckRecordText(const QByteArray& file, ImageFormat format) {
    LineReader lines(file);
    return format == ImageFormat::IntelHex ? CheckIntelHex(lines) : CheckSRecord(lines);
}
