// SPDX-License-Identifier: GPL-3.0-or-later
#include "records/StoreUrl.h"

#include <QDir>
#include <QUrl>
#include <QUrlQuery>

namespace records {

Result<StoreUrl, StoreError> ParseStoreUrl(const QString& text) {
    const auto bad = [&](const QString& why) { return StoreError{StoreErrorCode::BadUrl, why}; };
    if (text.startsWith(QLatin1String("sqlite:"))) {
        QString path = text.mid(7);
        if (path.startsWith(QLatin1String("//"))) {
            path = path.mid(2); // sqlite:///var/lib/x.sqlite as well as sqlite:/var/lib/x.sqlite
            if (!path.startsWith(QLatin1Char('/'))) {
                return bad(QStringLiteral("sqlite://%1 names a host, which a file has not; give "
                                          "sqlite:PATH or sqlite:///ABSOLUTE/PATH")
                               .arg(path));
            }
        }
        if (path.isEmpty()) {
            return bad(QStringLiteral("sqlite: needs the database file's path (sqlite:PATH)"));
        }
        return StoreUrl{StoreUrl::Kind::Sqlite,
                        QDir::cleanPath(QDir::current().absoluteFilePath(path)),
                        {},
                        QStringLiteral("sqlite:") + path};
    }
    if (text.startsWith(QLatin1String("postgresql://")) ||
        text.startsWith(QLatin1String("postgres://"))) {
        const QUrl url(text, QUrl::StrictMode);
        if (!url.isValid() || url.host().isEmpty()) {
            return bad(QStringLiteral("%1 is no PostgreSQL URL; give "
                                      "postgresql://USER@HOST:PORT/DATABASE")
                           .arg(url.isValid() ? url.toDisplayString(QUrl::RemovePassword)
                                              : QStringLiteral("the store's URL")));
        }
        if (url.path().size() < 2) {
            return bad(QStringLiteral("%1 names no database; give "
                                      "postgresql://USER@HOST:PORT/DATABASE")
                           .arg(url.toDisplayString(QUrl::RemovePassword)));
        }
        // libpq also takes a password as a query item: it is never shown either.
        QUrl shown = url;
        QUrlQuery query(url);
        // What is shown is where the records go: the server and the database come from the
        // URL's own parts, never from query items that libpq would take over them.
        for (const char* where : {"host", "hostaddr", "port", "dbname", "user", "service"}) {
            if (query.hasQueryItem(QLatin1String(where))) {
                return bad(QStringLiteral("%1 gives %2 as a query item; give it in the URL "
                                          "itself: postgresql://USER@HOST:PORT/DATABASE")
                               .arg(shown.toDisplayString(QUrl::RemovePassword | QUrl::RemoveQuery),
                                    QLatin1String(where)));
            }
        }
        for (const char* secret : {"password", "sslpassword"}) {
            query.removeAllQueryItems(QLatin1String(secret));
        }
        shown.setQuery(query);
        return StoreUrl{StoreUrl::Kind::Postgres,
                        {},
                        text.toUtf8(),
                        shown.toDisplayString(QUrl::RemovePassword)};
    }
    return bad(QStringLiteral("the store must be sqlite:PATH or postgresql://USER@HOST:PORT/DB"));
}

QString DefaultLocalStorePath() {
    const QString data =
        qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + QStringLiteral("/.local/share"));
    return data + QStringLiteral("/tavrel/records.sqlite");
}

} // namespace records
