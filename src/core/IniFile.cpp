#include "core/IniFile.h"

#include "core/SafeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

namespace vellora {

namespace {

const QByteArray kUtf8Bom("\xEF\xBB\xBF", 3);

bool isBlank(QChar c)
{
    const char16_t u = c.unicode();
    return u == u' ' || (u >= u'\t' && u <= u'\r');
}

QStringView trimBlanks(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

char16_t foldAscii(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

// The platform matches names ignoring letter case; Chinese names have no case,
// and only ASCII letters are folded so that no two distinct GBK names collide.
bool sameName(QStringView a, QStringView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (foldAscii(a[i].unicode()) != foldAscii(b[i].unicode()))
            return false;
    }
    return true;
}

struct Line
{
    QByteArray bytes; // without the line ending
    QByteArray eol;   // "\n", "\r\n" or "" for a last line without one
};

struct Document
{
    bool utf8 = false;
    QList<Line> lines;
};

Document splitContent(const QByteArray& content)
{
    Document doc;
    qsizetype pos = 0;
    if (content.startsWith(kUtf8Bom)) {
        doc.utf8 = true;
        pos = kUtf8Bom.size();
    }
    while (pos < content.size()) {
        const qsizetype nl = content.indexOf('\n', pos);
        if (nl < 0) {
            doc.lines.append({content.mid(pos), QByteArray()});
            break;
        }
        qsizetype end = nl;
        QByteArray eol("\n");
        if (end > pos && content[end - 1] == '\r') {
            --end;
            eol = "\r\n";
        }
        doc.lines.append({content.mid(pos, end - pos), eol});
        pos = nl + 1;
    }
    return doc;
}

QByteArray joinContent(const Document& doc)
{
    QByteArray out;
    if (doc.utf8)
        out += kUtf8Bom;
    for (const Line& line : doc.lines) {
        out += line.bytes;
        out += line.eol;
    }
    return out;
}

// Line breaks can never be the trail byte of a GBK character (trail bytes are
// 0x40 and above), so lines are split on bytes and decoded one by one.
QString decodeLine(const QByteArray& bytes, bool utf8)
{
    if (utf8)
        return QString::fromUtf8(bytes);
    QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return QString::fromLocal8Bit(bytes);
    QString text = decoder(bytes);
    return text;
}

// Strict: a character the encoding lacks makes the write fail rather than
// store a "?" in its place.
bool encodeText(const QString& text, bool utf8, QByteArray& out)
{
    if (utf8) {
        out = text.toUtf8();
        return true;
    }
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    if (!encoder.isValid())
        return false;
    QByteArray bytes = encoder(text);
    if (encoder.hasError())
        return false;
    out = bytes;
    return true;
}

struct ParsedLine
{
    enum Kind { Other, Section, Key } kind = Other;
    QString name;
    QString value;
};

ParsedLine parseLine(const QByteArray& bytes, bool utf8)
{
    QString text = decodeLine(bytes, utf8);
    // The platform reads the file as C strings: a NUL ends the line's text.
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        text.truncate(nul);
    const QStringView line = trimBlanks(text);
    ParsedLine parsed;
    if (line.isEmpty() || line.startsWith(u';'))
        return parsed;
    if (line.startsWith(u'[')) {
        const qsizetype close = line.indexOf(u']');
        if (close > 0) {
            parsed.kind = ParsedLine::Section;
            parsed.name = trimBlanks(line.sliced(1, close - 1)).toString();
        }
        return parsed;
    }
    parsed.kind = ParsedLine::Key;
    const qsizetype eq = line.indexOf(u'=');
    if (eq < 0) {
        parsed.name = line.toString();
        return parsed;
    }
    parsed.name = trimBlanks(line.first(eq)).toString();
    parsed.value = trimBlanks(line.sliced(eq + 1)).toString();
    return parsed;
}

QString stripQuotes(const QString& value)
{
    if (value.size() >= 2) {
        const QChar q = value.front();
        if ((q == u'"' || q == u'\'') && value.back() == q)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

qsizetype gbkSize(QStringEncoder& encoder, QStringView text)
{
    if (!encoder.isValid())
        return text.toUtf8().size();
    QByteArray bytes = encoder(text);
    return bytes.size();
}

// Cut to maxBytes GBK bytes, whole characters only.
QString capGbkBytes(const QString& value, qsizetype maxBytes)
{
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    if (gbkSize(encoder, value) <= maxBytes)
        return value;
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < value.size()) {
        const qsizetype len =
            (value[i].isHighSurrogate() && i + 1 < value.size() && value[i + 1].isLowSurrogate())
                ? 2
                : 1;
        const qsizetype size = gbkSize(encoder, QStringView(value).sliced(i, len));
        if (bytes + size > maxBytes)
            break;
        bytes += size;
        i += len;
    }
    return value.left(i);
}

struct Location
{
    qsizetype section = -1;      // line of the first matching section header
    qsizetype key = -1;          // line of the first matching key in it
    qsizetype lastNonBlank = -1; // last non-blank line of that section
    ParsedLine keyLine;
};

Location locate(const Document& doc, QStringView section, QStringView key)
{
    Location where;
    for (qsizetype i = 0; i < doc.lines.size(); ++i) {
        const ParsedLine parsed = parseLine(doc.lines[i].bytes, doc.utf8);
        if (parsed.kind == ParsedLine::Section) {
            if (where.section >= 0)
                break; // only the first section of the name counts
            if (sameName(parsed.name, section)) {
                where.section = i;
                where.lastNonBlank = i;
            }
            continue;
        }
        if (where.section < 0)
            continue;
        if (!trimBlanks(decodeLine(doc.lines[i].bytes, doc.utf8)).isEmpty())
            where.lastNonBlank = i;
        if (parsed.kind == ParsedLine::Key && where.key < 0 && sameName(parsed.name, key)) {
            where.key = i;
            where.keyLine = parsed;
        }
    }
    return where;
}

QByteArray lineEnding(const Document& doc)
{
    for (const Line& line : doc.lines) {
        if (!line.eol.isEmpty())
            return line.eol;
    }
    return QByteArrayLiteral("\n");
}

bool hasLineBreakOrNul(QStringView text)
{
    for (QChar c : text) {
        if (c == u'\n' || c == u'\r' || c.unicode() == 0)
            return true;
    }
    return false;
}

} // namespace

QString profileValueFromContent(const QByteArray& content, const QString& section,
                                const QString& key, qsizetype maxBytes)
{
    const QStringView wantedSection = trimBlanks(section);
    const QStringView wantedKey = trimBlanks(key);
    if (wantedSection.isEmpty() || wantedKey.isEmpty())
        return {};
    const Document doc = splitContent(content);
    const Location where = locate(doc, wantedSection, wantedKey);
    if (where.key < 0)
        return {};
    return capGbkBytes(stripQuotes(where.keyLine.value), maxBytes);
}

bool setProfileValueInContent(QByteArray& content, const QString& section, const QString& key,
                              const QString& value)
{
    const QStringView sectionName = trimBlanks(section);
    const QStringView keyName = trimBlanks(key);
    // Anything that would not read back as the same one line is refused: a line
    // break in a value would otherwise plant new lines in the file.
    if (sectionName.isEmpty() || keyName.isEmpty() || hasLineBreakOrNul(sectionName) ||
        hasLineBreakOrNul(keyName) || hasLineBreakOrNul(value) || sectionName.contains(u']') ||
        keyName.contains(u'=') || keyName.startsWith(u'[') || keyName.startsWith(u';'))
        return false;

    Document doc = splitContent(content);
    QByteArray valueBytes;
    QByteArray keyBytes;
    QByteArray sectionBytes;
    if (!encodeText(value, doc.utf8, valueBytes) ||
        !encodeText(keyName.toString(), doc.utf8, keyBytes) ||
        !encodeText(sectionName.toString(), doc.utf8, sectionBytes))
        return false;
    const QByteArray eol = lineEnding(doc);
    const Location where = locate(doc, sectionName, keyName);

    if (where.key >= 0) {
        // Keep the key as written (its case, its indentation): '=' is never a
        // GBK trail byte, so the first '=' byte ends the key. A NUL ended the
        // line's text when it was read, so it ends the key too.
        Line& line = doc.lines[where.key];
        qsizetype end = line.bytes.indexOf('=');
        const qsizetype nul = line.bytes.indexOf('\0');
        if (end < 0 || (nul >= 0 && nul < end))
            end = nul;
        const QByteArray head = end >= 0 ? line.bytes.left(end) : line.bytes;
        line.bytes = head + '=' + valueBytes;
    } else if (where.section >= 0) {
        Line& previous = doc.lines[where.lastNonBlank];
        if (previous.eol.isEmpty())
            previous.eol = eol;
        doc.lines.insert(where.lastNonBlank + 1, {keyBytes + '=' + valueBytes, eol});
    } else {
        if (!doc.lines.isEmpty() && doc.lines.back().eol.isEmpty())
            doc.lines.back().eol = eol;
        doc.lines.append({'[' + sectionBytes + ']', eol});
        doc.lines.append({keyBytes + '=' + valueBytes, eol});
    }
    content = joinContent(doc);
    return true;
}

QString readProfileString(const QString& path, const QString& section, const QString& key)
{
    if (path.isEmpty())
        return {};
    // A link planted at the name is not read either: its target is someone
    // else's file, and its text would end up in a window or a sheet.
    QByteArray content;
    if (readTrustedFile(path, content) != ReadStatus::Read)
        return {};
    return profileValueFromContent(content, section, key);
}

bool writeProfileString(const QString& path, const QString& section, const QString& key,
                        const QString& value, QString* error)
{
    if (path.isEmpty())
        return false;
    QByteArray content;
    QString why;
    const ReadStatus read = readTrustedFile(path, content, &why);
    // Never replace what could not be read: the rest of it would be lost.
    if (read == ReadStatus::Refused) {
        if (error)
            *error = why;
        return false;
    }
    QByteArray updated = content;
    if (!setProfileValueInContent(updated, section, key, value)) {
        if (error)
            *error = QStringLiteral("“%1”无法写成一行").arg(value);
        return false;
    }
    if (read == ReadStatus::Read && updated == content)
        return true;
    return replaceTrustedFile(path, updated, 0666, error);
}

} // namespace vellora
