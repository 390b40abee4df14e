// The local store's core: column cipher, catalogue DDL, row cells, store
// paths and migrations, on real SQLite files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"
#include "velna/crypto/digest.h"
#include "velna/error.h"
#include "velna/store/cipher.h"
#include "velna/store/migrations.h"
#include "velna/store/paths.h"
#include "velna/store/rows.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"

namespace velna::store {
namespace {

namespace fs = std::filesystem;

Bytes counting_key() {
  Bytes k(32);
  for (int i = 0; i < 32; ++i) k[i] = static_cast<std::uint8_t>(i);
  return k;
}

using test::TempDir;

// Ciphertexts that the reference encrypted column type writes for these
// values under the key 00 01 02 .. 1f.
TEST(ColumnCipher, MatchesReferenceCiphertexts) {
  struct Case {
    std::string text, stored;
  } cases[] = {
      {"", "51Rt9H+obwkPO4FlB8AiXg=="},
      {"abc", "Yh8Yl02IKZiw4+gyiPwLww=="},
      {"0123456789abcdef", "ET0V55RguZphSg7l6zmEev1/UmywdkKzRv+v/ClN9Uo="},
      {"true", "ysbiw51kWwmWskRcsDH0iw=="},
      {"h\xc3\xa9llo w\xc3\xb6rld, a longer value of text",
       "1XpJqKxVmZW+LynauievsVS3Drubci+7W6Pct5QYa1tSun4y5clkvrq5tfU4MzO5"},
  };
  ColumnCipher cipher(counting_key());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cipher.encrypt(c.text), c.stored);
    EXPECT_EQ(cipher.decrypt(c.stored), c.text);
  }
}

TEST(ColumnCipher, RefusesWhatItCannotGiveBack) {
  ColumnCipher cipher(counting_key());
  EXPECT_THROW(cipher.encrypt("a*"), InvalidArgument);
  EXPECT_THROW(cipher.encrypt("*"), InvalidArgument);
  EXPECT_NO_THROW(cipher.encrypt("*a"));
  for (std::string bad :
       {"abc", "Yh8Yl02IKZiw4+gyiPwLw===", "Yh8Yl02I", "Yh8Yl02IKZiw4+gyiPwL!w==", "=AAA"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(cipher.decrypt(bad), DecryptionError);
  }
  EXPECT_TRUE(cipher.same_key(counting_key()));
  EXPECT_FALSE(cipher.same_key(Bytes(32, 0)));
}

// The cipher against OpenSSL's own AES-256-CBC (key and IV from SHA-256 of
// the database key, "*" padding) for every length up to four blocks.
TEST(ColumnCipher, IsCbcWithTheFixedIvForEveryLength) {
  const Bytes key = counting_key();
  std::uint8_t hash[32];
  digest(HashKind::Sha256, key, hash);
  ColumnCipher cipher(key);
  for (std::size_t n = 0; n <= 64; ++n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
    std::string padded = text + std::string(16 - n % 16, '*');
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    ASSERT_TRUE(EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, hash, hash));
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(padded.size());
    int len = 0;
    ASSERT_TRUE(EVP_EncryptUpdate(ctx, out.data(), &len,
                                  reinterpret_cast<const unsigned char*>(padded.data()),
                                  static_cast<int>(padded.size())));
    EVP_CIPHER_CTX_free(ctx);
    const std::string stored = cipher.encrypt(text);
    EXPECT_EQ(stored, base64_encode(out)) << n;
    EXPECT_EQ(cipher.decrypt(stored), text) << n;
    std::string reused = "left over from before";
    cipher.decrypt_to(stored, reused);
    EXPECT_EQ(reused, text) << n;
  }
}

TEST(Base64, RoundTripsEveryTailLength) {
  for (std::size_t n = 0; n < 8; ++n) {
    Bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(0xf0 + i);
    EXPECT_EQ(base64_decode(base64_encode(data)), data) << n;
  }
  EXPECT_EQ(base64_encode(as_bytes("ab")), "YWI=");
}

TEST(Catalogue, EmitsTheDatabaseFilesDdl) {
  EXPECT_EQ(find_table("keys")->create_sql(),
            "CREATE TABLE keys (\n\tid INTEGER NOT NULL, \n\tuser_id BLOB NOT NULL, \n\tactive "
            "BLOB NOT NULL, "
            "\n\tkey_type BLOB NOT NULL, \n\tpub_key BLOB NOT NULL, \n\t\"index\" BLOB NOT NULL, "
            "\n\tPRIMARY KEY "
            "(id), \n\tUNIQUE (user_id, key_type, \"index\")\n)");
  EXPECT_EQ(find_table("keys")->index_sql(),
            std::vector<std::string>{"CREATE INDEX ix_keys_user_id ON keys (user_id)"});
  EXPECT_EQ(
      find_table("container_accesses")->create_sql(),
      "CREATE TABLE container_accesses (\n\tuser_id BLOB NOT NULL, \n\tcontainer_id BLOB NOT NULL, "
      "\n\tcreated_at BLOB, \n\tcreated_by BLOB, \n\tmodified_at BLOB, \n\tmodified_by BLOB, "
      "\n\tpermissions "
      "BLOB NOT NULL, \n\texpires_at BLOB, \n\tkey_blob BLOB NOT NULL, \n\tPRIMARY KEY (user_id, "
      "container_id), \n\tFOREIGN KEY(container_id) REFERENCES containers (id) ON DELETE CASCADE "
      "ON UPDATE "
      "CASCADE\n)");
  EXPECT_EQ(find_table("users")->create_sql(),
            "CREATE TABLE users (\n\tid BLOB NOT NULL, \n\tPRIMARY KEY (id)\n)");
  EXPECT_EQ(find_table("keys")->insert_sql(),
            "INSERT INTO keys (id, user_id, active, key_type, pub_key, \"index\") VALUES (?, ?, ?, "
            "?, ?, ?)");
  EXPECT_EQ(find_table("container_accesses")->delete_sql(),
            "DELETE FROM container_accesses WHERE user_id = ? AND container_id = ?");
  EXPECT_EQ(find_table("keys")->autoincrement(), 0);
  for (const auto& t : local_tables())
    for (const auto& c : t.columns)
      EXPECT_EQ(c.written_true, t.name == "keys" && c.name == "active") << t.name << "." << c.name;
  EXPECT_EQ(find_table("containers")->autoincrement(), -1);
  EXPECT_EQ(find_table("nothing"), nullptr);
}

// Tables are made once, with their indexes, and only those missing; a table
// whose DDL fails leaves nothing behind.
TEST(Catalogue, CreatesMissingTablesOnce) {
  TempDir dir;
  Connection c = Connection::open((dir.path() / "db").string(), true);
  const Table& keys = *find_table("keys");
  const Table& users = *find_table("users");
  EXPECT_FALSE(c.has_table("keys"));
  EXPECT_TRUE(create_missing(c, keys));
  EXPECT_FALSE(create_missing(c, keys));
  EXPECT_TRUE(c.has_table("keys"));
  EXPECT_FALSE(c.has_table("users"));
  EXPECT_FALSE(c.has_table("ix_keys_user_id"));  // an index is no table
  EXPECT_FALSE(c.has_table("KEYS "));
  Statement objects = c.prepare("SELECT type, name, sql FROM sqlite_master ORDER BY rowid");
  std::vector<std::string> seen;
  while (objects.step())
    seen.push_back(std::string(objects.column_bytes(0)) + " " +
                   std::string(objects.column_bytes(1)) + ": " +
                   std::string(objects.column_bytes(2)));
  objects.reset();
  const std::vector<std::string> expected = {"table keys: " + keys.create_sql(),
                                             "index ix_keys_user_id: " + keys.index_sql().at(0)};
  // SQLite's own index for the UNIQUE constraint keeps no DDL.
  seen.erase(std::remove_if(seen.begin(), seen.end(),
                            [](const std::string& l) { return l.starts_with("index sqlite_"); }),
             seen.end());
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(create_missing(c, users));
  EXPECT_FALSE(c.in_transaction());

  // A table whose index cannot be made is rolled back whole.
  Table broken = users;
  broken.name = "broken";
  broken.columns[0].indexed = true;
  c.exec("CREATE TABLE ix_broken_id (x INTEGER)");  // the index's name is taken
  EXPECT_THROW(create_missing(c, broken), DatabaseError);
  EXPECT_FALSE(c.in_transaction());
  EXPECT_FALSE(c.has_table("broken"));
}

TEST(Catalogue, DatabaseAddresses) {
  const std::pair<std::string, std::string> files[] = {
      {"/home/u/.velna/zov.db", "sqlite:////home/u/.velna/zov.db"},
      {"relative/zov.db", "sqlite:///relative/zov.db"},
      {"", "sqlite:///"},
  };
  for (const auto& [path, url] : files) {
    EXPECT_EQ(sqlite_url(path), url);
    EXPECT_EQ(sqlite_path(url), path);
  }
  for (const char* other :
       {"", "sqlite://", "sqlite://host/db", "postgresql:///db", "SQLITE:///x", " sqlite:///x"})
    try {
      sqlite_path(other);
      ADD_FAILURE() << other;
    } catch (const InvalidArgument& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("Only sqlite:/// addresses are supported: ") + other);
    }
}

TEST(ValueText, IntegersAndHex) {
  EXPECT_EQ(parse_integer("-42"), -42);
  EXPECT_EQ(parse_integer("+7"), 7);
  EXPECT_EQ(parse_integer("9223372036854775807"), INT64_MAX);
  for (std::string bad : {"", "-", "1.5", "True", " 1", "9223372036854775808"})
    EXPECT_FALSE(parse_integer(bad).has_value()) << bad;
  EXPECT_EQ(parse_hex("00ffAb"), (std::vector<std::uint8_t>{0, 0xff, 0xab}));
  EXPECT_FALSE(parse_hex("abc").has_value());
  EXPECT_FALSE(parse_hex("zz").has_value());
}

// What integer and boolean columns hold, old rows' literals included.
TEST(ValueText, StoredIntegersAndBooleans) {
  const std::pair<std::string, std::optional<std::int64_t>> integers[] = {
      {"42", 42},   {"-1", -1},    {"True", 1}, {"False", 0}, {"true", {}},
      {"TRUE", {}}, {"True ", {}}, {"", {}},    {"1e3", {}},  {"18446744073709551616", {}},
  };
  for (const auto& [text, value] : integers) EXPECT_EQ(parse_stored_integer(text), value) << text;
  for (bool b : {true, false}) EXPECT_EQ(parse_boolean(boolean_text(b)), b);
  EXPECT_EQ(boolean_text(true), "true");
  EXPECT_EQ(boolean_text(false), "false");
  for (const char* other : {"", "True", "1", "yes", "true ", "false"})
    EXPECT_FALSE(parse_boolean(other)) << other;
}

// The value text of a date-time in UTC, as Python's isoformat() writes it
// for an aware datetime in timezone.utc.
TEST(ValueText, UtcDateTimesAsIsoformatWritesThem) {
  struct Case {
    time::DateTime t;
    std::string text;
  } cases[] = {
      {{{2024, 5, 6}, 7, 8, 9, 123456}, "2024-05-06T07:08:09.123456+00:00"},
      {{{2024, 5, 6}, 7, 8, 9, 0}, "2024-05-06T07:08:09+00:00"},
      {{{1, 1, 1}, 0, 0, 0, 1}, "0001-01-01T00:00:00.000001+00:00"},
      {{{9999, 12, 31}, 23, 59, 59, 999999}, "9999-12-31T23:59:59.999999+00:00"},
      {{{2000, 2, 29}, 12, 0, 0, 500000}, "2000-02-29T12:00:00.500000+00:00"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utc_text(c.t), c.text);
    auto back = parse_utc_text(c.text);
    ASSERT_TRUE(back) << c.text;
    EXPECT_EQ(utc_text(*back), c.text);
    EXPECT_EQ(back->date.day, c.t.date.day);
    EXPECT_EQ(back->microsecond, c.t.microsecond);
  }
  // Other forms are for the general reader.
  for (std::string other :
       {"2024-05-06T07:08:09Z", "2024-05-06T07:08:09.123456+01:00", "2024-05-06 07:08:09+00:00",
        "2024-05-06T07:08:09.000000+00:00", "2024-05-06T07:08:09.1234+00:00",
        "2023-02-29T00:00:00+00:00", "2024-13-01T00:00:00+00:00", "2024-05-06T24:00:00+00:00",
        "0000-01-01T00:00:00+00:00", "2024-05-06T07:08:60+00:00", "2024-05-0xT07:08:09+00:00",
        "2024-05-06T07:08:09"})
    EXPECT_FALSE(parse_utc_text(other)) << other;
}

TEST(StorePaths, WorkedExampleAndSlicing) {
  const std::string abc = hex_digest(HashKind::Sha384, as_bytes("abc"));
  auto c = cut_components(abc, kMaxFileNameLength, kMaxLevelsDeep);
  ASSERT_EQ(c.size(), 12u);
  EXPECT_EQ(c.front(), "cb00753f");
  EXPECT_EQ(c.back(), "34c825a7");
  EXPECT_EQ(cut_components(abc, 16, 12).size(), 6u);
  EXPECT_EQ(cut_components(abc, 10, 12).back().size(), 6u);  // 96 = 9 * 10 + 6
  EXPECT_EQ(cut_components(abc, 8, -10).size(), 2u);
  EXPECT_TRUE(cut_components(abc, 8, -20).empty());
  EXPECT_TRUE(cut_components(abc, 8, 0).empty());
  EXPECT_THROW(cut_components(abc, 0, 1), InvalidArgument);
  // Lengths at or beyond the digest give the whole digest as one piece, also
  // where a 64-bit length does not fit a 32-bit size_t.
  for (std::int64_t length : {std::int64_t{96}, std::int64_t{97}, (std::int64_t{1} << 32) + 8,
                              std::numeric_limits<std::int64_t>::max()}) {
    auto whole = cut_components(std::string(96, 'a'), length, 12);
    ASSERT_EQ(whole.size(), 1u) << length;
    EXPECT_EQ(whole[0].size(), 96u);
  }
  EXPECT_EQ(cut_components("0123456789", 4, 12), (std::vector<std::string>{"0123", "4567", "89"}));
}

// Integers beyond 64 bits: only encrypted integer columns keep them, as
// text; the plain ones (SQLite's own integers) refuse them by name.
TEST(Rows, WideIntegersOnlyInEncryptedColumns) {
  int plain = 0, encrypted = 0;
  for (const auto& t : local_tables())
    for (const auto& c : t.columns) {
      if (c.type != ValueType::Integer && c.type != ValueType::BigInteger) continue;
      const std::string name = std::string(t.name) + "." + std::string(c.name);
      if (c.encrypted) {
        ++encrypted;
        EXPECT_NO_THROW(check_wide_integer(t, c)) << name;
        continue;
      }
      ++plain;
      try {
        check_wide_integer(t, c);
        ADD_FAILURE() << name;
      } catch (const InvalidArgument& e) {
        EXPECT_EQ(std::string(e.what()), "Column " + name + " takes 64-bit integers.");
      }
    }
  EXPECT_GT(plain, 0);
  EXPECT_GT(encrypted, 0);
}

TEST(Rows, EncryptedCellsRoundTripAndConstraintsBite) {
  TempDir dir;
  Connection db = Connection::open((dir.path() / "db").string(), true);
  for (const auto& t : local_tables()) {
    db.exec(t.create_sql());
    for (const auto& ix : t.index_sql()) db.exec(ix);
  }
  ColumnCipher cipher(counting_key());
  const Table& containers = *find_table("containers");
  const Table& access = *find_table("container_accesses");
  std::vector<Cell> row = {Cell::of(std::string(32, 'a')),
                           Cell::null(),
                           Cell::of(std::int64_t{12}),
                           Cell::null(),
                           Cell::null(),
                           Cell::null(),
                           Cell::null(),
                           Cell::null(),
                           Cell::of(std::string("2024-01-02T03:04:05+00:00")),
                           Cell::of(std::string("all"))};
  Statement ins = db.prepare(containers.insert_sql());
  bind_row(ins, 1, containers, row, cipher);
  EXPECT_FALSE(ins.step());
  Statement sel = db.prepare("SELECT " + containers.columns_sql() + " FROM containers");
  ASSERT_TRUE(sel.step());
  EXPECT_EQ(sel.column_kind(0), ColumnKind::Blob);
  EXPECT_EQ(read_cell(sel, 2, containers.columns[2], cipher).text, "12");
  EXPECT_EQ(read_cell(sel, 1, containers.columns[1], cipher).kind, Cell::Kind::Null);
  EXPECT_EQ(read_cell(sel, 8, containers.columns[8], cipher).text, "2024-01-02T03:04:05+00:00");
  sel.reset();

  // Repeating the primary key, and an access row naming no container.
  ins.reset();
  bind_row(ins, 1, containers, row, cipher);
  EXPECT_THROW(ins.step(), IntegrityError);
  std::vector<Cell> entry = {Cell::of(std::string(32, 'b')),
                             Cell::of(std::string(32, 'c')),
                             Cell::null(),
                             Cell::null(),
                             Cell::null(),
                             Cell::null(),
                             Cell::of(std::int64_t{255}),
                             Cell::null(),
                             Cell::of(std::string(""))};
  Statement ins_access = db.prepare(access.insert_sql());
  bind_row(ins_access, 1, access, entry, cipher);
  EXPECT_THROW(ins_access.step(), IntegrityError);
  // Naming the container by its stored (deterministic) ciphertext works, and
  // deleting the container takes the access row with it.
  entry[1] = Cell::of(std::string(32, 'a'));
  ins_access.reset();
  bind_row(ins_access, 1, access, entry, cipher);
  EXPECT_FALSE(ins_access.step());
  db.exec("DELETE FROM containers");
  Statement n = db.prepare("SELECT count(*) FROM container_accesses");
  ASSERT_TRUE(n.step());
  EXPECT_EQ(n.column_int64(0), 0);
  // A required column left empty.
  row[9] = Cell::null();
  ins.reset();
  bind_row(ins, 1, containers, row, cipher);
  EXPECT_THROW(ins.step(), IntegrityError);
  EXPECT_THROW(db.exec("SELECT * FROM nowhere"), DatabaseError);
}

void write_script(const fs::path& p, const std::string& text) { std::ofstream(p) << text; }

TEST(Migrations, AppliesTheChainOnceAndRecordsTheHead) {
  TempDir dir;
  fs::path scripts = dir.path() / "alembic";
  fs::create_directory(scripts);
  // File names need not sort in chain order.
  write_script(scripts / "b.sql",
               "-- revision: r2\n-- down_revision: r1\nCREATE TABLE t2 (x INTEGER);\n");
  write_script(scripts / "a.sql",
               "-- revision: r1\n-- down_revision: None\nCREATE TABLE t1 (x INTEGER);\n");
  write_script(scripts / "notes.txt", "not a script");
  std::string db = (dir.path() / "db").string();
  EXPECT_EQ(upgrade(db, scripts.string()), "r2");
  EXPECT_EQ(upgrade(db, scripts.string()), "r2");  // nothing to do the second time
  Connection c = Connection::open(db, false);
  EXPECT_EQ(current_version(c), "r2");
  Statement rows = c.prepare("SELECT count(*) FROM alembic_version");
  ASSERT_TRUE(rows.step());
  EXPECT_EQ(rows.column_int64(0), 1);
  rows.reset();  // a statement left on a row keeps the file locked for writers

  write_script(scripts / "c.sql",
               "-- revision: r3\n-- down_revision: r2\nCREATE TABLE t3 (x INTEGER);\n");
  EXPECT_EQ(upgrade(db, scripts.string()), "r3");
  // A failing script leaves the recorded revision where it was.
  write_script(scripts / "d.sql",
               "-- revision: r4\n-- down_revision: r3\nCREATE TABLE t1 (x INTEGER);\n");
  EXPECT_THROW(upgrade(db, scripts.string()), DatabaseError);
  EXPECT_EQ(current_version(c), "r3");
}

TEST(Migrations, RefusesBrokenChainsAndUnknownRevisions) {
  TempDir dir;
  fs::path scripts = dir.path() / "alembic";
  fs::create_directory(scripts);
  write_script(scripts / "a.sql", "-- revision: r1\n-- down_revision: None\n");
  write_script(scripts / "b.sql", "-- revision: r2\n-- down_revision: r1\n");
  write_script(scripts / "c.sql", "-- revision: r3\n-- down_revision: r1\n");
  EXPECT_THROW(load_revisions(scripts.string()), InvalidArgument);  // a branch
  fs::remove(scripts / "c.sql");
  write_script(scripts / "c.sql", "-- revision: r3\n-- down_revision: r9\n");
  EXPECT_THROW(load_revisions(scripts.string()), InvalidArgument);  // does not link up
  fs::remove(scripts / "c.sql");
  write_script(scripts / "c.sql", "CREATE TABLE x (y);\n");
  EXPECT_THROW(load_revisions(scripts.string()), InvalidArgument);  // no header
  fs::remove(scripts / "c.sql");

  std::string db = (dir.path() / "db").string();
  {
    Connection c = Connection::open(db, false);
    c.exec(version_table_sql());
    c.exec("INSERT INTO alembic_version VALUES ('gone')");
  }
  try {
    upgrade(db, scripts.string());
    FAIL() << "an unknown revision must be refused";
  } catch (const InvalidArgument& e) {
    EXPECT_STREQ(e.what(), "Can't locate revision identified by 'gone'");
  }
}

}  // namespace
}  // namespace velna::store
