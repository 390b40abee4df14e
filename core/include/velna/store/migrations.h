// Schema migrations of the local database: scripts in one folder, applied in
// order and recorded in the table alembic_version.
//
// A script is a file "<anything>.sql" whose first lines are
//   -- revision: <id>
//   -- down_revision: <id of the revision before, or None>
// followed by the SQL that moves the schema from the revision before to this
// one. The scripts must form one chain from a single base to a single head.
#pragma once

#include <string>
#include <vector>

#include "velna/store/sqlite.h"

namespace velna::store {

struct Revision {
  std::string id;
  std::string down;  // empty for the base revision
  std::string sql;
  std::string file;
};

// load_revisions reads the scripts of |folder| and returns them from base to
// head. Fails with InvalidArgument for a script without a revision line, a
// repeated revision, a branch or a chain that does not link up.
std::vector<Revision> load_revisions(const std::string& folder);

// current_version is the recorded revision of |db|, or "" when none is (no
// table or no row).
std::string current_version(Connection& db);

// upgrade brings the database file at |db_path| to the newest revision of
// |folder| on a connection of its own: each pending script runs in its own
// transaction together with the update of the recorded revision. Returns the
// revision recorded afterwards. A recorded revision that no script knows
// fails with InvalidArgument "Can't locate revision identified by '<id>'".
std::string upgrade(const std::string& db_path, const std::string& folder);

}  // namespace velna::store
