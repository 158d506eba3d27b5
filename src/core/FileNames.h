#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace vellora {

// File names are bytes. Most are UTF-8; names unpacked from archives made on
// other systems are often GBK or Latin-1 bytes, which a UTF-8 decode would
// turn into replacement characters that no longer open the file.

// The text of a name (or a path) as the file system gave it: UTF-8 when it is
// valid UTF-8, else GBK when every byte decodes as GBK, else Latin-1 (which
// always decodes). fileNameBytes gives back the same bytes.
QString decodeFileName(const QByteArray& bytes);

// The byte forms a name's text may have on disk, most likely first: UTF-8,
// then GBK, then Latin-1, each only when the text can be written in it and
// it differs from those before. For a text that came from decodeFileName,
// one of them is the original bytes.
QList<QByteArray> fileNameCandidates(const QString& text);

// The bytes of the relative path (text from decodeFileName) as they are found
// beneath the folder rootFd, component by component, without following a
// link at any component; the UTF-8 form for whatever is not found.
QByteArray fileNameBytesIn(int rootFd, const QString& relative);

} // namespace vellora
