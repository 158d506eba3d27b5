#pragma once

#include <QByteArray>
#include <QString>

namespace vellora {

// Profile-string files: INI text in GBK (or UTF-8 when the file starts with a
// UTF-8 byte order mark), one "[section]" line followed by "key=value" lines.
// Sections and keys match without regard to ASCII letter case; blanks around
// them are ignored. Only the first section of a name and the first key of a
// name in it count.

// Longest value a read returns, in GBK bytes (a 10240-byte buffer and its NUL).
inline constexpr qsizetype kProfileValueMaxBytes = 10239;

// The value of key in section of the file content: blanks around it and one
// pair of enclosing quotes (" or ') removed, cut at the first NUL and at
// maxBytes GBK bytes (a double-byte character that would be split is dropped
// whole). "" when the section or key is missing.
QString profileValueFromContent(const QByteArray& content, const QString& section,
                                const QString& key, qsizetype maxBytes = kProfileValueMaxBytes);

// The file content with key in section set to value: the key's line replaced
// in place (keeping its line ending), or the key added after the last line of
// the section, or the section added at the end. Every other byte stays as it
// was. Returns false (content untouched) when section, key or value cannot be
// written as one line: empty section or key, a line break or NUL anywhere, "]"
// in the section, "=" in the key, or a character the file's encoding lacks.
bool setProfileValueInContent(QByteArray& content, const QString& section, const QString& key,
                              const QString& value);

// The file-level read: a missing or unreadable file gives "", and so does a
// link at the file's name, unless it is the package's own (resolveTrusted).
QString readProfileString(const QString& path, const QString& section, const QString& key);

// The file-level write: creates the file and the section as needed and replaces
// the file atomically (a temporary file in the same folder renamed over it), so
// a failed write leaves the old file whole. The temporary file is made in the
// file's real folder and a link planted at the name is refused, never written
// through. Returns false, with the reason in error, when the file could not be
// read or written.
bool writeProfileString(const QString& path, const QString& section, const QString& key,
                        const QString& value, QString* error = nullptr);

} // namespace vellora
