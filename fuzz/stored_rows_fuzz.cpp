// Stored rows as the database layer reads them back: the input is stored
// in an in-memory SQLite database as the cell of an encrypted column (once
// as a BLOB, once as TEXT) and of a plain one, and read back through
// read_cell. An encrypted cell either decrypts (and then encrypts back to
// text that decrypts to the same value) or fails with DecryptionError. The
// value-text readers take the input as well.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "velna/error.h"
#include "velna/store/cipher.h"
#include "velna/store/rows.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"

namespace store = velna::store;
using velna::fuzz::expect;

namespace {

struct Fixture {
  store::Connection db = store::Connection::open(":memory:", false);
  store::ColumnCipher cipher{velna::as_bytes("fuzz database key")};
  store::Statement insert_blob, insert_text, select;
  Fixture() {
    db.exec("CREATE TABLE t (c)");
    insert_blob = db.prepare("INSERT INTO t (c) VALUES (?)");
    insert_text = db.prepare("INSERT INTO t (c) VALUES (CAST(? AS TEXT))");
    select = db.prepare("SELECT c FROM t");
  }
};

void read_back(Fixture& f, velna::ByteView input) {
  static const store::Column encrypted{"c", store::ValueType::String, true};
  static const store::Column plain{"c", store::ValueType::String, false};
  while (f.select.step()) {
    try {
      store::Cell cell = store::read_cell(f.select, 0, encrypted, f.cipher);
      expect(cell.kind == store::Cell::Kind::Text, "a decrypted cell that is not text");
      if (cell.text.empty() || cell.text.back() != '*')
        expect(f.cipher.decrypt(f.cipher.encrypt(cell.text)) == cell.text,
               "a decrypted value does not survive encryption");
    } catch (const velna::DecryptionError&) {
    }
    store::Cell cell = store::read_cell(f.select, 0, plain, f.cipher);
    expect(cell.kind == store::Cell::Kind::Text &&
               velna::fuzz::same(velna::as_bytes(cell.text), input),
           "a plain cell does not read back as stored");
  }
  f.select.reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture f;
  const velna::ByteView input(data, size);
  const std::string_view text = velna::as_chars(input);

  f.db.exec("DELETE FROM t");
  f.insert_blob.bind_blob(1, input);
  f.insert_blob.step();
  f.insert_blob.reset();
  read_back(f, input);

  f.db.exec("DELETE FROM t");
  f.insert_text.bind_text(1, text);
  f.insert_text.step();
  f.insert_text.reset();
  read_back(f, input);

  try {
    velna::Bytes raw = store::base64_decode(text);
    expect(store::base64_decode(store::base64_encode(raw)) == raw, "Base64 does not round-trip");
  } catch (const velna::DecryptionError&) {
  }
  if (auto n = store::parse_integer(text))
    expect(store::parse_integer(std::to_string(*n)) == n, "an integer does not read back");
  if (auto bytes = store::parse_hex(text))
    expect(bytes->size() * 2 == text.size(), "hex text of the wrong length was read");
  return 0;
}
