// vantrel recorder: the SQLite database.
#include "sqlite_output.hpp"

#include <sqlite3.h>

#include <cctype>
#include <cerrno>
#include <ctime>

namespace vantrel::acquire {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS readings ("
    " time TEXT NOT NULL, mono REAL, board TEXT, bits INTEGER, channel INTEGER, name TEXT,"
    " raw REAL, value REAL, unit TEXT, status TEXT, text TEXT);"
    "CREATE INDEX IF NOT EXISTS readings_time ON readings(time);";

int errnoOf(int code) {
    switch (code & 0xff) {
        case SQLITE_FULL:
            return ENOSPC;
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return EACCES;
        default:
            return EIO;
    }
}

[[noreturn]] void fail(sqlite3* db, const std::string& path, const std::string& what) {
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_CANTOPEN;
    throw OutputError(path + ": " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"),
                      errnoOf(code));
}

void exec(sqlite3* db, const std::string& path, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return;
    const std::string text = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw OutputError(path + ": " + text, errnoOf(sqlite3_extended_errcode(db)));
}

void bindText(sqlite3_stmt* s, int i, const std::string& v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

void bindNumber(sqlite3_stmt* s, int i, const std::optional<double>& v) {
    if (v)
        sqlite3_bind_double(s, i, *v);
    else
        sqlite3_bind_null(s, i);
}

std::string columnText(sqlite3_stmt* s, int i) {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return t ? std::string(t, static_cast<std::size_t>(sqlite3_column_bytes(s, i))) : std::string();
}

std::optional<double> columnNumber(sqlite3_stmt* s, int i) {
    if (sqlite3_column_type(s, i) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(s, i);
}

// The stored time text back as a time point ("2026-12-08T06:33:46.123Z").
std::chrono::system_clock::time_point parseStored(const std::string& text) {
    tm p{};
    int millis = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &p.tm_year, &p.tm_mon, &p.tm_mday,
                    &p.tm_hour, &p.tm_min, &p.tm_sec, &millis) != 7)
        return {};
    p.tm_year -= 1900;
    p.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(::timegm(&p)) + std::chrono::milliseconds(millis);
}

}  // namespace

SqliteOutput::SqliteOutput(std::string path) : path_(std::move(path)) {
    const int rc =
        sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    try {
        if (rc != SQLITE_OK) fail(db_, path_, "cannot open the database");
        sqlite3_busy_timeout(db_, 5000);
        exec(db_, path_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
        exec(db_, path_, kSchema);
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO readings (time, mono, board, bits, channel, name, raw,"
                               " value, unit, status, text) VALUES (?,?,?,?,?,?,?,?,?,?,?)",
                               -1, &insert_, nullptr) != SQLITE_OK)
            fail(db_, path_, "cannot prepare the insert");
    } catch (...) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteOutput::~SqliteOutput() {
    sqlite3_finalize(insert_);
    sqlite3_close_v2(db_);
}

void SqliteOutput::write(std::span<const Record> records) {
    if (!db_) throw OutputError(path_ + ": the database is closed", EBADF);
    exec(db_, path_, "BEGIN IMMEDIATE");
    try {
        for (const Record& r : records) {
            sqlite3_reset(insert_);
            bindText(insert_, 1, isoTime(r.time));
            sqlite3_bind_double(insert_, 2, r.mono);
            bindText(insert_, 3, r.board);
            sqlite3_bind_int(insert_, 4, r.bits);
            sqlite3_bind_int(insert_, 5, r.channel);
            bindText(insert_, 6, r.name);
            bindNumber(insert_, 7, r.raw);
            bindNumber(insert_, 8, r.value);
            bindText(insert_, 9, r.unit);
            bindText(insert_, 10, statusName(r.status));
            if (r.text.empty())
                sqlite3_bind_null(insert_, 11);
            else
                bindText(insert_, 11, r.text);
            if (sqlite3_step(insert_) != SQLITE_DONE) fail(db_, path_, "cannot insert");
        }
        exec(db_, path_, "COMMIT");
    } catch (const OutputError&) {
        sqlite3_reset(insert_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void SqliteOutput::close() {
    if (!db_) return;
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    // The write-ahead log folded back into the database, so the file alone is complete.
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    const int rc = sqlite3_close_v2(db_);
    db_ = nullptr;
    if (rc != SQLITE_OK) throw OutputError(path_ + ": closing the database failed", EIO);
}

std::optional<std::string> timeBound(std::string_view text) {
    std::string t(text);
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) t.pop_back();
    if (t.size() > 10 && t[10] == ' ') t[10] = 'T';
    // Digits where the pattern has '9', the pattern's own character elsewhere.
    static constexpr std::string_view kPattern = "9999-99-99T99:99:99.999";
    static constexpr std::size_t kLengths[] = {10, 13, 16, 19, 21, 22, 23};
    bool lengthOk = false;
    for (const std::size_t n : kLengths) lengthOk = lengthOk || t.size() == n;
    if (!lengthOk) return std::nullopt;
    for (std::size_t i = 0; i < t.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(t[i])) != 0;
        if (kPattern[i] == '9' ? !digit : t[i] != kPattern[i]) return std::nullopt;
    }
    return t;
}

uint64_t exportCsv(const std::string& database, const std::string& from, const std::string& to,
                   std::FILE* out) {
    sqlite3* db = nullptr;
    struct Closer {
        sqlite3*& db;
        sqlite3_stmt* s = nullptr;
        ~Closer() {
            sqlite3_finalize(s);
            sqlite3_close_v2(db);
        }
    } closer{db};
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail(db, database, "cannot open the database");
    sqlite3_busy_timeout(db, 5000);
    if (sqlite3_prepare_v2(
            db,
            "SELECT time, mono, board, bits, channel, name, raw, value, unit, status,"
            " text FROM readings WHERE (?1 = '' OR time >= ?1) AND"
            " (?2 = '' OR time < ?2) ORDER BY time, rowid",
            -1, &closer.s, nullptr) != SQLITE_OK)
        fail(db, database, "not a recording (no table readings)");
    bindText(closer.s, 1, from);
    bindText(closer.s, 2, to);
    std::fputs(csvHeader().c_str(), out);
    uint64_t count = 0;
    int rc;
    while ((rc = sqlite3_step(closer.s)) == SQLITE_ROW) {
        Record r;
        r.time = parseStored(columnText(closer.s, 0));
        r.mono = sqlite3_column_double(closer.s, 1);
        r.board = columnText(closer.s, 2);
        r.bits = sqlite3_column_int(closer.s, 3);
        r.channel = sqlite3_column_int(closer.s, 4);
        r.name = columnText(closer.s, 5);
        r.raw = columnNumber(closer.s, 6);
        r.value = columnNumber(closer.s, 7);
        r.unit = columnText(closer.s, 8);
        const std::string status = columnText(closer.s, 9);
        r.status = status == "error" ? Status::Error : status == "gap" ? Status::Gap : Status::Ok;
        r.text = columnText(closer.s, 10);
        const std::string line = csvLine(r);
        if (std::fwrite(line.data(), 1, line.size(), out) != line.size())
            throw OutputError("writing the CSV failed", errno);
        ++count;
    }
    if (rc != SQLITE_DONE) fail(db, database, "reading the records failed");
    return count;
}

}  // namespace vantrel::acquire
