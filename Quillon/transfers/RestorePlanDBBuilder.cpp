// RestorePlanDBBuilder: the plan's schema. Threads: as in RestorePlanDBBuilder.h.
#include "transfers/RestorePlanDBBuilder.h"

namespace quillon {

void RestorePlanDBBuilder::initializeTables() {
    database()->executeStatements(
        "CREATE TABLE settings (key TEXT PRIMARY KEY, value TEXT);"
        "CREATE TABLE archives (  id INTEGER PRIMARY KEY,  archive_id TEXT NOT NULL UNIQUE,  "
        "path TEXT NOT NULL,  local_path TEXT NOT NULL,  size INTEGER NOT NULL,  "
        "tree_hash TEXT NOT NULL,  created_at INTEGER NOT NULL DEFAULT 0,  "
        "state TEXT NOT NULL DEFAULT 'planned',  job_id TEXT,  requested_at INTEGER,  "
        "verified_bytes INTEGER NOT NULL DEFAULT 0,  requests INTEGER NOT NULL DEFAULT 0,  "
        "error TEXT);"
        "CREATE INDEX idx_archives_state ON archives (state, id);"
        "CREATE INDEX idx_archives_local_path ON archives (local_path, created_at);"
        "CREATE TABLE collisions (  archive_id TEXT PRIMARY KEY,  path TEXT NOT NULL,  "
        "local_path TEXT NOT NULL,  size INTEGER NOT NULL,  created_at INTEGER NOT NULL,  "
        "kept_archive_id TEXT NOT NULL);"
        "CREATE TABLE requests (  archive INTEGER NOT NULL,  at INTEGER NOT NULL,  "
        "bytes INTEGER NOT NULL);"
        "CREATE INDEX idx_requests_at ON requests (at);");
}

void RestorePlanDBBuilder::performMigration() {
    // The first version of the file: nothing to migrate yet.
}

}  // namespace quillon
