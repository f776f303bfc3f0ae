#pragma once

// One place that decides where a storage test runs: a fresh SQLite file always, and a
// private PostgreSQL schema when KMP_TEST_PGURL names a server. Every test that touches
// storage takes the backend as a data column, so the same body runs against both.

#include "databaseconfig.h"
#include "dbconnection.h"
#include "schema.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <memory>

namespace kmp::test {

inline void addBackendColumn()
{
    QTest::addColumn<QString>("backend");
}

// Adds one row per backend, "<name>/sqlite" and "<name>/postgresql".
template <typename Fill>
void addBackendRows(const char *name, Fill fill)
{
    for (const char *backend : {"sqlite", "postgresql"}) {
        auto &row = QTest::newRow(qPrintable(QStringLiteral("%1/%2").arg(QLatin1String(name), QLatin1String(backend))))
                    << QString::fromLatin1(backend);
        fill(row);
    }
}

class TestDatabase
{
public:
    // Returns null and sets why when the backend cannot run here (no PostgreSQL URL).
    static std::unique_ptr<TestDatabase> create(const QString &backend, QString *why)
    {
        auto db = std::unique_ptr<TestDatabase>(new TestDatabase);
        if (backend == QLatin1String("sqlite")) {
            if (!db->m_dir.isValid()) {
                *why = QStringLiteral("no temporary folder");
                return nullptr;
            }
            db->m_databaseUrl = QStringLiteral("sqlite:") + db->m_dir.filePath(QStringLiteral("test.db"));
        } else {
            const QString url = qEnvironmentVariable("KMP_TEST_PGURL");
            if (url.isEmpty()) {
                *why = QStringLiteral("PostgreSQL not tested: KMP_TEST_PGURL is not set (make test sets it)");
                return nullptr;
            }
            static std::atomic<int> counter{0};
            // A schema of its own per test, so parallel runs never see each other's rows.
            db->m_schema = QStringLiteral("kmp_t_%1_%2_%3")
                               .arg(QCoreApplication::applicationPid())
                               .arg(QDateTime::currentMSecsSinceEpoch() % 100000000)
                               .arg(++counter);
            db->m_databaseUrl =
                url + (url.contains(QLatin1Char('?')) ? QStringLiteral("&schema=") : QStringLiteral("?schema=")) + db->m_schema;
        }
        db->m_config = server::DatabaseConfig::parse(db->m_databaseUrl);
        // A server refuses a PostgreSQL schema without its tables (it would serve empty
        // ones): a test's schema starts as the administrator's set-up leaves it.
        if (db->isPostgres()) {
            server::DbConnection c(db->m_config);
            server::ensureSchema(c);
        }
        return db;
    }

    ~TestDatabase()
    {
        if (m_schema.isEmpty())
            return;
        try {
            server::DbConnection c(m_config);
            c.execDirect(QStringLiteral("DROP SCHEMA IF EXISTS \"%1\" CASCADE").arg(m_schema));
        } catch (...) {
        }
    }

    const QString &databaseUrl() const { return m_databaseUrl; }
    const server::DatabaseConfig &config() const { return m_config; }
    bool isPostgres() const { return m_config.isPostgres(); }

private:
    TestDatabase() = default;
    QTemporaryDir m_dir;
    QString m_databaseUrl;
    QString m_schema;
    server::DatabaseConfig m_config;
};

} // namespace kmp::test

// Fetches the "backend" column and opens a fresh database for it, or skips with the reason.
#define KMP_OPEN_BACKEND(var)                                                                                                    \
    QFETCH(QString, backend);                                                                                                    \
    QString var##Why;                                                                                                            \
    std::unique_ptr<kmp::test::TestDatabase> var = kmp::test::TestDatabase::create(backend, &var##Why);                          \
    if (!var)                                                                                                                    \
        QSKIP(qPrintable(var##Why));
