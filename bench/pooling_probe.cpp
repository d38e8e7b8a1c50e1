// What unixODBC's connection pooling changes for the service's statements:
// the session state the rows show carried from one statement to the next.
#include "bench.h"

#include <stdio.h>
#include <string.h>

// The SQL that tells, from the rows it leaves, whether session state
// survives from one statement to the next.
typedef struct ProbeSql {
    const char *sessionInsert;
    const char *setSetting;
    const char *readSetting;
    const char *settingValue;
} ProbeSql;

static ProbeSql ProbeSqlFor(int kind)
{
    if (kind == BENCH_KIND_POSTGRES)
        return ProbeSql{"INSERT INTO varn_bench_probe(tag, session_id) VALUES('session', pg_backend_pid());",
                        "SET application_name = 'varn_probe';",
                        "INSERT INTO varn_bench_probe(tag, val) VALUES('setting', "
                        "current_setting('application_name'));",
                        "varn_probe"};
    if (kind == BENCH_KIND_MARIADB)
        return ProbeSql{"INSERT INTO varn_bench_probe(tag, session_id) VALUES('session', CONNECTION_ID());",
                        "SET @varn_probe = 'varn_probe';",
                        "INSERT INTO varn_bench_probe(tag, val) VALUES('setting', @varn_probe);", "varn_probe"};
    return ProbeSql{NULL, "PRAGMA cache_size = 4321;",
                    "INSERT INTO varn_bench_probe(tag, val) SELECT 'setting', cache_size FROM pragma_cache_size();",
                    "4321"};
}

static int ProbeTagHolds(HelperLink *link, const char *tag, const char *value)
{
    char sql[160];
    char text[BENCH_TEXT_SIZE];
    snprintf(sql, sizeof sql, "SELECT val FROM varn_bench_probe WHERE tag = '%s'", tag);
    int found = HelperQueryText(link, sql, text, sizeof text);
    if (found < 0)
        return -1;
    return found == 1 && (value == NULL || strcmp(text, value) == 0);
}

int RunProbe(const BenchEnvironment *env, const BenchSource *source, HelperLink *link, const char *odbcDir,
             ProbeResult *probe)
{
    ProbeSql sql = ProbeSqlFor(source->kind);
    const char *sessionStatements[5];
    const char *stateStatements[] = {
        sql.setSetting,
        sql.readSetting,
        "CREATE TEMPORARY TABLE varn_probe_temp(a INTEGER);",
        "INSERT INTO varn_bench_probe(tag, val) SELECT 'temporary', 'seen' FROM "
        "(SELECT COUNT(*) AS n FROM varn_probe_temp) t;",
        "BEGIN;",
        "INSERT INTO varn_bench_probe(tag, val) VALUES('begin', 'x');",
    };
    const char *commit[] = {"COMMIT;"};
    ServiceProcess service;
    int status = -1;

    memset(probe, 0, sizeof *probe);
    if (HelperRun(link, "DELETE FROM varn_bench_probe") != 0)
        return -1;
    if (StartServiceProcess(env, odbcDir, source, &service) != 0)
        return -1;
    probe->sessions = -1;
    if (sql.sessionInsert != NULL) {
        for (auto &statement : sessionStatements)
            statement = sql.sessionInsert;
        if (SendStatements(service.port, sessionStatements, 5) != 0 ||
            HelperQueryLong(link, "SELECT COUNT(DISTINCT session_id) FROM varn_bench_probe WHERE tag = 'session'",
                            &probe->sessions) != 1)
            goto done;
    }
    if (SendStatements(service.port, stateStatements, 6) != 0)
        goto done;
    probe->settingCarried = ProbeTagHolds(link, "setting", sql.settingValue);
    probe->temporaryCarried = ProbeTagHolds(link, "temporary", NULL);
    probe->beginHolds = ProbeTagHolds(link, "begin", NULL);
    if (probe->settingCarried < 0 || probe->temporaryCarried < 0 || probe->beginHolds < 0)
        goto done;
    // The INSERT after BEGIN is invisible exactly when the transaction is
    // still open on a kept connection; a COMMIT must then bring it out.
    probe->beginHolds = !probe->beginHolds;
    if (probe->beginHolds) {
        if (SendStatements(service.port, commit, 1) != 0 || ProbeTagHolds(link, "begin", NULL) != 1) {
            fprintf(stderr, "varn-bench: %s: COMMIT did not release the row held after BEGIN\n", source->label);
            goto done;
        }
    }
    probe->ran = 1;
    status = 0;
done:
    StopServiceProcess(&service);
    return status;
}
