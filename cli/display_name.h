#pragma once
// File names and messages made safe to show. A name may hold any byte but '/' and NUL:
// escape sequences that retitle or recolour the user's terminal, a newline that forges
// a report line, bytes that are not UTF-8. Human-readable output shows such characters
// as \xNN (a backslash shown as \\ only where it would otherwise be ambiguous: before
// an "x"); JSON carries the escaped text plus the name's exact bytes in base64.

#include <QByteArray>
#include <QString>

namespace vellora::cli {

// `text` with control characters (C0, DEL, C1), undecodable name bytes (see
// native_files.h) and the Unicode line and paragraph separators replaced by \xNN
// (\u{NNNN} for the separators); everything else as it is.
[[nodiscard]] QString displayText(const QString& text);

// The name's exact bytes in base64 when displayText() cannot show them exactly (they
// are not valid UTF-8 or hold control characters); empty otherwise.
[[nodiscard]] QByteArray rawNameBase64(const QString& name);

}  // namespace vellora::cli
