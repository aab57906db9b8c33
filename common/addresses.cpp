#include "addresses.h"

#include <QCoreApplication>
#include <QDir>
#include <QUrl>

#include "common/build_config.h"

namespace vellora {
namespace {

QString configuredOr(const char* configured) {
    const QString address = QString::fromUtf8(configured);
    return address.isEmpty() ? installedHelpPage() : address;
}

}  // namespace

QString installedHelpPage() {
    const QDir top(QCoreApplication::applicationDirPath() + QStringLiteral("/.."));
    const QString page =
        QDir::cleanPath(top.absoluteFilePath(QStringLiteral(VELLORA_HELP_PAGE_SUBPATH)));
    return QUrl::fromLocalFile(page).toString();
}

QString helpPageAddress() {
    return configuredOr(VELLORA_HELP_URL);
}

QString homePageAddress() {
    return configuredOr(VELLORA_HOME_URL);
}

QString productPageAddress() {
    return configuredOr(VELLORA_PRODUCT_URL);
}

}  // namespace vellora
