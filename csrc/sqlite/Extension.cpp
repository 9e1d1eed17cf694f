// The SQLite extension's entry point: registers the FTS5 tokenizer
// `razoduviva` (Fts5Module) on the connection that loads it.
//
// SQLite derives the entry point from the file name: the letters of the
// name up to its first dot, after a leading "lib", so the file
// razoduviva.fts5.so has sqlite3_razoduviva_init, and `.load` finds it
// without being told. It is the one symbol the file exports (see
// extension.map).
//
// The SQLite routines come through the table the loading library passes
// in, held per connection: a process may load this file into two SQLite
// libraries (an interpreter's and apsw's), and each connection must call
// back into its own.
//
// The bundled data is the data/ folder beside this file, found through
// dladdr; the tokenizer's path arguments replace its files.
#include <dlfcn.h>

#include <memory>
#include <new>
#include <string>

#include "sqlite/Fts5Module.hpp"
#include "sqlite3ext.h"

namespace {

using kelp::typing::text::sqlite::Fts5Module;

// The folder of this file's data/, ending with '/'.
std::string DataFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DataFolder), &info) == 0 || info.dli_fname == nullptr) {
    return "data/";
  }
  const std::string path = info.dli_fname;
  const size_t slash = path.rfind('/');
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "data/";
}

// The FTS5 registration interface of `db`, or null without FTS5.
fts5_api* FindFts5(sqlite3* db, const sqlite3_api_routines* sqlite3_api) {
  fts5_api* api = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(statement, 1, static_cast<void*>(&api), "fts5_api_ptr", nullptr);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  return api;
}

void DeleteModule(void* module) { delete static_cast<Fts5Module*>(module); }

int Refuse(char** error, const sqlite3_api_routines* sqlite3_api, const char* message) {
  if (error != nullptr) {
    *error = sqlite3_mprintf("%s", message);
  }
  return SQLITE_ERROR;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int sqlite3_razoduviva_init(
    sqlite3* db, char** error, const sqlite3_api_routines* sqlite3_api) {
  // sqlite3_bind_pointer and fts5_api version 2 came with 3.20.
  if (sqlite3_libversion_number() < 3020000) {
    return Refuse(error, sqlite3_api, "razoduviva needs SQLite 3.20 or later");
  }
  fts5_api* const fts5 = FindFts5(db, sqlite3_api);
  if (fts5 == nullptr || fts5->iVersion < 2) {
    return Refuse(error, sqlite3_api, "razoduviva needs an SQLite built with FTS5");
  }
  std::unique_ptr<Fts5Module> module;
  try {
    module = std::make_unique<Fts5Module>(DataFolder(), [sqlite3_api](int code, const char* text) {
      sqlite3_log(code, "%s", text);
    });
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  }
  fts5_tokenizer callbacks = Fts5Module::Callbacks();
  // FTS5 owns the module once registered, and deletes it when the
  // connection closes.
  const int rc =
      fts5->xCreateTokenizer(fts5, "razoduviva", module.get(), &callbacks, &DeleteModule);
  if (rc == SQLITE_OK) {
    module.release();
  }
  return rc;
}
