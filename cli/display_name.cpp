#include "display_name.h"

#include "cli/native_files.h"

namespace vellora::cli {
namespace {

bool isControl(char16_t unit) {
    return unit < 0x20 || (unit >= 0x7F && unit <= 0x9F);
}

bool isLoneEscapedByte(const QString& text, qsizetype index) {
    const char16_t unit = text.at(index).unicode();
    return unit >= 0xDC80 && unit <= 0xDCFF &&
           (index == 0 || !QChar::isHighSurrogate(text.at(index - 1).unicode()));
}

QString hexByte(unsigned value) {
    return QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
}

}  // namespace

QString displayText(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (qsizetype index = 0; index < text.size(); ++index) {
        const char16_t unit = text.at(index).unicode();
        if (isLoneEscapedByte(text, index)) {
            shown += hexByte(unit - 0xDC00u);
        } else if (isControl(unit)) {
            shown += hexByte(unit);
        } else if (unit == 0x2028 || unit == 0x2029) {
            shown += QStringLiteral("\\u{%1}").arg(unsigned{unit}, 4, 16, QLatin1Char('0'));
        } else if (unit == u'\\' && index + 1 < text.size() && text.at(index + 1) == u'x') {
            shown += QStringLiteral("\\\\");  // a real "\x" in a name stays told apart
        } else {
            shown += text.at(index);
        }
    }
    return shown;
}

QByteArray rawNameBase64(const QString& name) {
    if (displayText(name) == name) {
        return {};
    }
    return nativePath(name).toBase64();
}

}  // namespace vellora::cli
