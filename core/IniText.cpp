#include "core/IniText.h"

#include <QStringList>

#include <cstdint>
#include <cstring>
#include <utility>

// The rules below follow QSettings' INI reader and writer, so that a store
// written by either is read the same by both.
namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isHexDigit(char16_t c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int digitValue(char c, int base) {
    int value = 16;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

struct Line {
    qsizetype start = 0;
    qsizetype length = 0;
    qsizetype equals = -1; // position of the first '=' outside quotes, or -1
};

// The next logical line from `pos` up to `size`: blank lines and ';'
// comments skipped, quotes and a backslash carry a line on over a line end, a
// ';' outside quotes ends it.
bool nextLine(const QByteArray& data, qsizetype size, qsizetype& pos, Line& line) {
    bool inQuotes = false;
    line.equals = -1;
    line.start = pos;
    while (line.start < size && isSpace(data[line.start]))
        ++line.start;
    qsizetype i = line.start;
    while (i < size) {
        const char ch = data[i++];
        if (ch == '=') {
            if (!inQuotes && line.equals < 0)
                line.equals = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == line.start + 1) {
                ++line.start;
            } else if (!inQuotes) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char next = data[i++];
                if (i < size && ((next == '\n' && data[i] == '\r') || (next == '\r' && data[i] == '\n')))
                    ++i;
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else if (ch == ';') {
            if (i == line.start + 1) {
                while (i < size && data[i] != '\n' && data[i] != '\r')
                    ++i;
                while (i < size && isSpace(data[i]))
                    ++i;
                line.start = i;
            } else if (!inQuotes) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.length = i - line.start;
    return line.length > 0;
}

// Section and value names: '\' stands for '/', %XX and %UXXXX for other characters.
QString unescapedKey(const QByteArray& key) {
    QString result;
    qsizetype i = 0;
    while (i < key.size()) {
        const char ch = key[i];
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == key.size() - 1) {
            result += QLatin1Char(ch);
            ++i;
            continue;
        }
        const qsizetype first = key[i + 1] == 'U' ? i + 2 : i + 1;
        const qsizetype digits = key[i + 1] == 'U' ? 4 : 2;
        bool ok = first + digits <= key.size();
        const int code = ok ? key.mid(first, digits).toInt(&ok, 16) : 0;
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(char16_t(code));
        i = first + digits;
    }
    return result;
}

QByteArray escapedKey(const QString& key) {
    QByteArray result;
    for (const QChar qc : key) {
        const char16_t ch = qc.unicode();
        if (ch == '/') {
            result += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                   ch == '_' || ch == '-' || ch == '.') {
            result += char(ch);
        } else if (ch <= 0xFF) {
            result += '%' + QByteArray::number(ch, 16).toUpper().rightJustified(2, '0');
        } else {
            result += "%U" + QByteArray::number(ch, 16).toUpper().rightJustified(4, '0');
        }
    }
    return result;
}

QString sectionName(const QByteArray& header) {
    if (header.compare("general", Qt::CaseInsensitive) == 0)
        return QString();
    if (header.compare("%general", Qt::CaseInsensitive) == 0)
        return QString::fromLatin1(header.mid(1));
    return unescapedKey(header);
}

// A value as QSettings reads it: quotes, C escapes and UTF-8; unquoted
// commas make a list, which comes back joined with ", ".
QString unescapedValue(const QByteArray& str, qsizetype i, qsizetype to) {
    static constexpr char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                           {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                           {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    QString current;
    QStringList items;
    bool isList = false, inQuotes = false, quoted = false, skipSpaces = true, chopAtEnd = true;
    qsizetype chopLimit = 0; // trailing blanks before this stay
    const auto chop = [&] {
        qsizetype n = current.size();
        while (n > chopLimit && (current[n - 1] == QLatin1Char(' ') || current[n - 1] == QLatin1Char('\t')))
            --n;
        current.truncate(n);
    };
    while (true) {
        if (skipSpaces) {
            while (i < to && (str[i] == ' ' || str[i] == '\t'))
                ++i;
            skipSpaces = false;
            chopLimit = current.size();
        }
        if (i >= to)
            break;
        const char ch = str[i];
        if (ch == '\\') {
            if (++i >= to) {
                chopAtEnd = false;
                break;
            }
            const char code = str[i++];
            bool known = false;
            for (const auto& escape : kEscapes) {
                if (code == escape[0]) {
                    current += QLatin1Char(escape[1]);
                    known = true;
                    break;
                }
            }
            const int base = code == 'x' ? 16 : (code >= '0' && code <= '7') ? 8 : 0;
            if (!known && base == 16 && i >= to) {
                chopAtEnd = false;
                break;
            }
            if (!known && (base == 8 || (base == 16 && digitValue(str[i], 16) >= 0))) {
                std::uint32_t value = base == 8 ? std::uint32_t(code - '0') : 0;
                while (i < to && digitValue(str[i], base) >= 0)
                    value = value * std::uint32_t(base) + std::uint32_t(digitValue(str[i++], base));
                current += QChar(char16_t(value & 0xFFFF));
                if (i >= to) {
                    chopAtEnd = false;
                    break;
                }
            } else if (!known && (code == '\n' || code == '\r')) {
                if (i < to && (str[i] == '\n' || str[i] == '\r') && str[i] != code)
                    ++i;
            }
            // Any other escaped character, "\x" without digits among them, is dropped.
            chopLimit = current.size();
        } else if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            skipSpaces = !inQuotes;
        } else if (ch == ',' && !inQuotes) {
            if (!quoted)
                chop();
            isList = true;
            items.append(current);
            current.clear();
            quoted = false;
            ++i;
            skipSpaces = true;
        } else {
            qsizetype j = i + 1;
            while (j < to && str[j] != '\\' && str[j] != '"' && str[j] != ',')
                ++j;
            current += QString::fromUtf8(str.constData() + i, j - i);
            i = j;
        }
    }
    if (chopAtEnd && !quoted)
        chop();
    if (!isList)
        return current;
    items.append(current);
    return items.join(QLatin1String(", "));
}

// QSettings marks values that are not plain strings with '@' (and doubles a
// string's own leading '@'); of those only its spellings of text are paths.
bool asText(QString* value) {
    if (!value->startsWith(QLatin1Char('@')))
        return true;
    if (value->endsWith(QLatin1Char(')'))) {
        for (const QLatin1String prefix : {QLatin1String("@String("), QLatin1String("@ByteArray(")}) {
            if (value->startsWith(prefix)) {
                *value = value->mid(prefix.size()).chopped(1);
                return true;
            }
        }
        for (const char* other : {"@Invalid()", "@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("}) {
            if (value->startsWith(QLatin1String(other)))
                return false;
        }
    }
    if (value->startsWith(QLatin1String("@@")))
        value->remove(0, 1);
    return true;
}

QByteArray escapedValue(const QString& text) {
    const QString str = text.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + text : text;
    QByteArray result;
    bool needsQuotes = false, escapeNextIfDigit = false;
    for (qsizetype i = 0; i < str.size(); ++i) {
        const char16_t ch = str[i].unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        // After a numeric escape a following digit would be read as part of it.
        if (escapeNextIfDigit && isHexDigit(ch)) {
            result += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        static constexpr char kEscaped[] = "\a\b\f\n\r\t\v\"\\";
        static constexpr char kEscapeCodes[] = "abfnrtv\"\\";
        const char* escape = ch != 0 && ch < 0x80 ? std::strchr(kEscaped, char(ch)) : nullptr;
        if (ch == 0) {
            result += "\\0";
            escapeNextIfDigit = true;
        } else if (escape) {
            result += '\\';
            result += kEscapeCodes[escape - kEscaped];
        } else if (ch <= 0x1F) {
            result += "\\x" + QByteArray::number(ch, 16);
            escapeNextIfDigit = true;
        } else if (ch < 0x80) {
            result += char(ch);
        } else {
            const qsizetype units = str[i].isHighSurrogate() && i + 1 < str.size() ? 2 : 1;
            result += str.mid(i, units).toUtf8();
            i += units - 1;
        }
    }
    if (needsQuotes || result.startsWith(' ') || result.endsWith(' '))
        result = '"' + result + '"';
    return result;
}

} // namespace

// Headers are found in one pass over the whole text; each section's lines
// are then read within its own bounds, as QSettings reads them.
IniText::IniText(QByteArray text) : m_text(std::move(text)) {
    qsizetype pos = m_text.startsWith("\xef\xbb\xbf") ? 3 : 0; // UTF-8 byte order mark
    Region current{QString(), 0, pos, 0};
    Line line;
    while (nextLine(m_text, m_text.size(), pos, line)) {
        if (m_text[line.start] != '[')
            continue;
        current.end = line.start;
        m_regions.append(current);
        qsizetype close = m_text.indexOf(']', line.start);
        if (close < 0 || close >= line.start + line.length) {
            m_valid = false;
            close = line.start + line.length;
        }
        current = {sectionName(m_text.mid(line.start + 1, close - line.start - 1).trimmed()), line.start, pos,
                   0};
    }
    current.end = m_text.size();
    m_regions.append(current);
    for (const Region& region : std::as_const(m_regions)) {
        pos = region.body;
        while (m_valid && nextLine(m_text, region.end, pos, line))
            m_valid = line.equals >= 0;
    }
}

StoredSection IniText::section(const QString& name) const {
    StoredSection values;
    for (const Region& region : m_regions) {
        if (region.name != name)
            continue;
        qsizetype pos = region.body;
        Line line;
        while (nextLine(m_text, region.end, pos, line)) {
            if (line.equals < 0)
                continue;
            const qsizetype valueStart = line.equals + 1, lineEnd = line.start + line.length;
            QString text = unescapedValue(m_text, valueStart, lineEnd);
            if (asText(&text))
                values.append({unescapedKey(m_text.mid(line.start, line.equals - line.start).trimmed()), text,
                               m_text.mid(valueStart, lineEnd - valueStart)});
        }
    }
    return values;
}

QByteArray IniText::withSection(const QString& name, const StoredSection& values) const {
    QByteArray block;
    if (!values.isEmpty()) {
        block = '[' + escapedKey(name) + "]\n";
        for (const StoredValue& value : values)
            block += escapedKey(value.name) + '=' +
                     (value.stored.isEmpty() ? escapedValue(value.text) : value.stored) + '\n';
    }
    QByteArray result;
    bool placed = false, endsWithIt = false;
    for (qsizetype i = 0; i < m_regions.size(); ++i) {
        const Region& region = m_regions.at(i);
        endsWithIt = i > 0 && region.name == name;
        if (!endsWithIt) {
            result.append(m_text.constData() + region.begin, region.end - region.begin);
        } else if (!placed && !block.isEmpty()) {
            result += block;
            if (i + 1 < m_regions.size())
                result += '\n'; // a blank line before the next section, as QSettings writes it
            placed = true;
        }
    }
    if (placed || (block.isEmpty() && !endsWithIt))
        return result;
    // The section goes at the end, or went from there: one blank line before it, none after the last.
    while (result.endsWith("\n\n"))
        result.chop(1);
    if (!block.isEmpty() && !result.isEmpty())
        result += result.endsWith('\n') ? "\n" : "\n\n";
    return result + block;
}
