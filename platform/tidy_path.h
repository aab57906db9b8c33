#pragma once
// Path spelling without changing what a path leads to.

#include <QString>
#include <QStringList>

namespace vellora {

// `path` with repeated slashes, "." parts and a trailing slash taken out. ".." parts
// stay: after a symbolic link to a folder, ".." is that folder's parent, not the
// folder before the link in the text, so dropping "link/.." as QDir::cleanPath does
// would name another file. "" stays "", "." and "./" become ".".
[[nodiscard]] inline QString tidyPath(const QString& path) {
    if (path.isEmpty()) {
        return path;
    }
    const bool absolute = path.startsWith(QLatin1Char('/'));
    QStringList kept;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part != QLatin1String(".")) {
            kept.append(part);
        }
    }
    const QString joined = kept.join(QLatin1Char('/'));
    if (absolute) {
        return QLatin1Char('/') + joined;
    }
    return joined.isEmpty() ? QStringLiteral(".") : joined;
}

}  // namespace vellora
