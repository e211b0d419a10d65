// vantrel recorder: the SQLite database.
#include "sqlite_output.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <map>
#include <tuple>

namespace vantrel::acquire {

namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS readings ("
    " time TEXT NOT NULL, mono REAL, board TEXT, bits INTEGER, channel INTEGER, name TEXT,"
    " raw REAL, value REAL, unit TEXT, status TEXT, text TEXT);"
    "CREATE INDEX IF NOT EXISTS readings_time ON readings(time);"
    // The few records that mark a plot (gaps, errors, notes), found without reading the rest.
    "CREATE INDEX IF NOT EXISTS readings_marks ON readings(time) WHERE status <> 'ok';"
    // A channel's readings per minute and per hour, kept up as they are written, so that a
    // plot of weeks reads hundreds of rows instead of millions. `start` is the minute's or the
    // hour's first instant, as `time` is written; `mean` of the `ok` readings with a value.
    "CREATE TABLE IF NOT EXISTS summaries ("
    " span TEXT NOT NULL, start TEXT NOT NULL, board TEXT NOT NULL, name TEXT NOT NULL,"
    " unit TEXT, count INTEGER NOT NULL, min REAL, max REAL, mean REAL,"
    " PRIMARY KEY (span, board, name, start)) WITHOUT ROWID;";

// Folds a batch's aggregate of one channel and span into its row.
constexpr const char* kUpsert =
    "INSERT INTO summaries (span, start, board, name, unit, count, min, max, mean)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
    " ON CONFLICT (span, board, name, start) DO UPDATE SET"
    " min = min(summaries.min, excluded.min), max = max(summaries.max, excluded.max),"
    " mean = (summaries.mean * summaries.count + excluded.mean * excluded.count)"
    " / (summaries.count + excluded.count),"
    " count = summaries.count + excluded.count, unit = excluded.unit";

// The summaries of readings stored before the table existed (a database of an earlier
// version), made once when it is empty.
constexpr const char* kBackfill =
    "INSERT INTO summaries (span, start, board, name, unit, count, min, max, mean)"
    " SELECT 'minute', substr(time, 1, 16) || ':00.000Z', board, name, max(unit), count(*),"
    " min(value), max(value), avg(value) FROM readings"
    " WHERE status = 'ok' AND value IS NOT NULL GROUP BY 2, 3, 4;"
    "INSERT INTO summaries (span, start, board, name, unit, count, min, max, mean)"
    " SELECT 'hour', substr(time, 1, 13) || ':00:00.000Z', board, name, max(unit), count(*),"
    " min(value), max(value), avg(value) FROM readings"
    " WHERE status = 'ok' AND value IS NOT NULL GROUP BY 2, 3, 4;";

// The columns an averaged reading fills, added to a table made before them (ALTER TABLE):
// NULL in every row stored before, and in every reading of one conversion.
constexpr const char* kMinMaxColumns[] = {"min", "max"};

// How long a write waits for another connection to the file (a snapshot, an export).
constexpr int kBusyMs = 5000;

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

// Whether the table `readings` of `db` has the column.
bool hasColumn(sqlite3* db, const char* column) {
    sqlite3_stmt* s = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info('readings') WHERE name = ?1", -1,
                           &s, nullptr) == SQLITE_OK) {
        sqlite3_bind_text(s, 1, column, -1, SQLITE_STATIC);
        found = sqlite3_step(s) == SQLITE_ROW;
    }
    sqlite3_finalize(s);
    return found;
}

}  // namespace

SqliteOutput::SqliteOutput(std::string path, RotateConfig rotate)
    : path_(std::move(path)), rotate_(rotate), retention_(rotate.retainDays) {
    open();
}

SqliteOutput::~SqliteOutput() {
    sqlite3_finalize(insert_);
    sqlite3_finalize(upsert_);
    sqlite3_close_v2(db_);
}

void SqliteOutput::open() {
    // The lock is taken on a descriptor of its own before SQLite opens the file, and let go
    // only after SQLite has closed it: closing any descriptor of a file drops the process's
    // POSIX locks on it, SQLite's among them.
    refuseIfNotRegular(path_);
    lock_.reset(::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644));
    if (!lock_) throw OutputError(sysMessage("open", path_, errno), errno);
    try {
        lockOutput(lock_.get(), path_);
        const int rc = sqlite3_open_v2(
            path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
            nullptr);
        if (rc != SQLITE_OK) fail(db_, path_, "cannot open the database");
        sqlite3_busy_timeout(db_, kBusyMs);
        exec(db_, path_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
        exec(db_, path_, kSchema);
        for (const char* column : kMinMaxColumns)
            if (!hasColumn(db_, column))
                exec(db_, path_,
                     (std::string("ALTER TABLE readings ADD COLUMN ") + column + " REAL").c_str());
        addSequence();
        if (sqlite3_prepare_v2(db_,
                               "INSERT INTO readings (time, mono, board, bits, channel, name, raw,"
                               " value, unit, status, text, min, max, seq)"
                               " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                               -1, &insert_, nullptr) != SQLITE_OK)
            fail(db_, path_, "cannot prepare the insert");
        if (sqlite3_prepare_v2(db_, kUpsert, -1, &upsert_, nullptr) != SQLITE_OK)
            fail(db_, path_, "cannot prepare the summaries");
        if (scalar("SELECT count(*) FROM summaries") == 0 &&
            scalar("SELECT count(*) FROM readings") > 0) {
            exec(db_, path_, "BEGIN IMMEDIATE");
            try {
                exec(db_, path_, kBackfill);
                exec(db_, path_, "COMMIT");
            } catch (const OutputError&) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
        sqlite3_stmt* first = nullptr;
        started_.reset();
        if (sqlite3_prepare_v2(db_, "SELECT min(time) FROM readings", -1, &first, nullptr) ==
                SQLITE_OK &&
            sqlite3_step(first) == SQLITE_ROW && sqlite3_column_type(first, 0) != SQLITE_NULL)
            started_ = parseIsoTime(columnText(first, 0));
        sqlite3_finalize(first);
    } catch (...) {
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        sqlite3_finalize(upsert_);
        upsert_ = nullptr;
        sqlite3_close_v2(db_);
        db_ = nullptr;
        lock_.reset();
        throw;
    }
}

void SqliteOutput::addSequence() {
    sqlite3_stmt* probe = nullptr;
    const bool has = sqlite3_prepare_v2(db_, "SELECT seq FROM readings LIMIT 0", -1, &probe,
                                        nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    // The rows of an older file keep no sequence: they cannot be sent again, only told of.
    if (!has) exec(db_, path_, "ALTER TABLE readings ADD COLUMN seq INTEGER");
    exec(db_, path_,
         "CREATE INDEX IF NOT EXISTS readings_seq ON readings(seq) WHERE seq IS NOT NULL;"
         "CREATE TABLE IF NOT EXISTS sent (output TEXT PRIMARY KEY, seq INTEGER NOT NULL);");
    // A cursor can be ahead of the rows (a server acknowledged what the recorder was killed
    // before storing): the run goes on above both, so that no new record looks sent.
    lastSeq_ = static_cast<uint64_t>(
        std::max(std::max<int64_t>(scalar("SELECT max(seq) FROM readings"), 0),
                 scalar("SELECT max(seq) FROM sent")));
    if (!cursors_.empty()) saveCursors(cursors_);
}

void SqliteOutput::saveCursors(const std::map<std::string, uint64_t>& cursors) {
    if (!db_) open();
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO sent (output, seq) VALUES (?1, ?2)"
                           " ON CONFLICT (output) DO UPDATE SET seq = excluded.seq",
                           -1, &s, nullptr) != SQLITE_OK)
        fail(db_, path_, "cannot prepare the cursors");
    exec(db_, path_, "BEGIN IMMEDIATE");
    for (const auto& [output, seq] : cursors) {
        sqlite3_reset(s);
        bindText(s, 1, output);
        sqlite3_bind_int64(s, 2, static_cast<int64_t>(seq));
        if (sqlite3_step(s) != SQLITE_DONE) {
            sqlite3_finalize(s);
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            fail(db_, path_, "cannot store the cursors");
        }
        cursors_[output] = seq;
    }
    sqlite3_finalize(s);
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        fail(db_, path_, "cannot store the cursors");
    }
}

int64_t SqliteOutput::scalar(const char* sql) const {
    sqlite3_stmt* s = nullptr;
    int64_t n = 0;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
}

uint64_t SqliteOutput::bytes() const {
    // Pages in use as the database sees them, the write-ahead log's share included.
    return static_cast<uint64_t>(std::max<int64_t>(scalar("PRAGMA page_count"), 0)) *
           static_cast<uint64_t>(std::max<int64_t>(scalar("PRAGMA page_size"), 0));
}

void SqliteOutput::insert(std::span<const Record> records) {
    if (records.empty()) return;
    // The batch's share of each summary row, folded in with one statement a row.
    struct Share {
        std::string unit;
        int64_t count = 0;
        double min = 0, max = 0, sum = 0;
    };
    std::map<std::tuple<const char*, std::string, std::string, std::string>, Share> shares;
    exec(db_, path_, "BEGIN IMMEDIATE");
    try {
        for (const Record& r : records) {
            const std::string time = isoTime(r.time);
            if (r.status == Status::Ok && r.value && std::isfinite(*r.value)) {
                const double v = *r.value;
                for (const auto& [span, start] :
                     {std::pair("minute", time.substr(0, 16) + ":00.000Z"),
                      std::pair("hour", time.substr(0, 13) + ":00:00.000Z")}) {
                    Share& s = shares[{span, start, r.board, r.name}];
                    s.min = s.count == 0 ? v : std::min(s.min, v);
                    s.max = s.count == 0 ? v : std::max(s.max, v);
                    s.sum += v;
                    ++s.count;
                    s.unit = r.unit;
                }
            }
            sqlite3_reset(insert_);
            bindText(insert_, 1, time);
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
            bindNumber(insert_, 12, r.min);
            bindNumber(insert_, 13, r.max);
            if (r.seq > 0)
                sqlite3_bind_int64(insert_, 14, static_cast<int64_t>(r.seq));
            else
                sqlite3_bind_null(insert_, 14);
            if (sqlite3_step(insert_) != SQLITE_DONE) fail(db_, path_, "cannot insert");
        }
        for (const auto& [key, share] : shares) {
            const auto& [span, start, board, name] = key;
            sqlite3_reset(upsert_);
            sqlite3_bind_text(upsert_, 1, span, -1, SQLITE_STATIC);
            bindText(upsert_, 2, start);
            bindText(upsert_, 3, board);
            bindText(upsert_, 4, name);
            bindText(upsert_, 5, share.unit);
            sqlite3_bind_int64(upsert_, 6, share.count);
            sqlite3_bind_double(upsert_, 7, share.min);
            sqlite3_bind_double(upsert_, 8, share.max);
            sqlite3_bind_double(upsert_, 9, share.sum / static_cast<double>(share.count));
            if (sqlite3_step(upsert_) != SQLITE_DONE) fail(db_, path_, "cannot summarise");
        }
        exec(db_, path_, "COMMIT");
    } catch (const OutputError&) {
        sqlite3_reset(insert_);
        sqlite3_reset(upsert_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (!started_) started_ = records.front().time;
}

void SqliteOutput::write(std::span<const Record> records) {
    std::size_t stored = 0;
    try {
        if (!db_) open();
        while (stored < records.size()) {
            // The records up to the first of another UTC day go into this file.
            std::size_t n = records.size() - stored;
            if (rotate_.daily) {
                const std::string day = utcDay(started_.value_or(records[stored].time));
                n = 0;
                while (stored + n < records.size() && utcDay(records[stored + n].time) == day) ++n;
            }
            const bool full = rotate_.maxBytes > 0 && started_ && bytes() >= rotate_.maxBytes;
            if ((n == 0 || full) && started_) {
                rotate();
                continue;
            }
            insert(records.subspan(stored, n));
            stored += n;
        }
        if (!records.empty()) prune(records.back().time);
    } catch (const OutputError& e) {
        throw OutputError(e.what(), e.errnum(), stored);
    }
}

void SqliteOutput::prune(std::chrono::system_clock::time_point newest) {
    const auto cutoff = retention_.due(newest);
    if (!cutoff) return;
    // The hours' summaries stay: a year of them is some tens of thousands of rows.
    sqlite3_stmt* s = nullptr;
    const std::string before = isoTime(*cutoff);
    for (const char* sql : {"DELETE FROM readings WHERE time < ?1",
                            "DELETE FROM summaries WHERE span = 'minute' AND start < ?1"}) {
        if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK)
            fail(db_, path_, "cannot prune");
        bindText(s, 1, before);
        const int rc = sqlite3_step(s);
        sqlite3_finalize(s);
        if (rc != SQLITE_DONE) fail(db_, path_, "cannot prune");
    }
    pruneRotated(path_, *cutoff);
}

void SqliteOutput::foldLog() {
    // A reader's snapshot or a full disk can keep the log from being folded in whole, and the
    // pragma would not say so: the call does. A reader is waited for a moment only, since the
    // writer's thread waits with it.
    int frames = 0, folded = 0;
    sqlite3_busy_timeout(db_, 100);
    const int rc =
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &frames, &folded);
    sqlite3_busy_timeout(db_, kBusyMs);
    if (rc != SQLITE_OK) fail(db_, path_, "the write-ahead log cannot be folded into the file");
}

void SqliteOutput::rotate() {
    // The log folded in first, so that the renamed file alone holds every record.
    foldLog();
    const std::string target =
        rotatedName(path_, started_.value_or(std::chrono::system_clock::now()));
    if (::rename(path_.c_str(), target.c_str()) != 0)
        throw OutputError(sysMessage("rename", path_, errno), errno);
    rotated_.push_back(target);
    close();
    open();
}

void SqliteOutput::reopen() {
    // After a move, the open database is the moved file and its log still bears the old name:
    // the log is folded into the moved file first, and only then is a new one begun. When it
    // cannot be (a full disk), the moved file stays open and is written on: closing it then
    // would leave its log under the old name, where the new file would take it for its own.
    if (db_) foldLog();
    close();
    open();
}

void SqliteOutput::close() {
    if (!db_) return;
    sqlite3_finalize(insert_);
    insert_ = nullptr;
    sqlite3_finalize(upsert_);
    upsert_ = nullptr;
    // The write-ahead log folded back into the database, so the file alone is complete.
    const int checkpoint =
        sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    const int rc = sqlite3_close_v2(db_);
    db_ = nullptr;
    lock_.reset();
    if (rc != SQLITE_OK || checkpoint != SQLITE_OK)
        throw OutputError(path_ + ": closing the database failed", EIO);
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

uint64_t exportRecords(const std::string& database, const std::string& from, const std::string& to,
                       ExportFormat format, std::FILE* out) {
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
    constexpr const char* kRange =
        " FROM readings WHERE (?1 = '' OR time >= ?1) AND"
        " (?2 = '' OR time < ?2)";
    // A database written before averaging has no min and max; a CSV export has their columns
    // only when a record of its range has them, as the recorder's own CSV file would.
    const bool minMax = hasColumn(db, "min") && hasColumn(db, "max");
    MinMax columns = MinMax::Without;
    if (minMax) {
        if (sqlite3_prepare_v2(db,
                               (std::string("SELECT EXISTS (SELECT 1") + kRange +
                                " AND (min IS NOT NULL OR max IS NOT NULL))")
                                   .c_str(),
                               -1, &closer.s, nullptr) != SQLITE_OK)
            fail(db, database, "cannot read the records");
        bindText(closer.s, 1, from);
        bindText(closer.s, 2, to);
        if (sqlite3_step(closer.s) != SQLITE_ROW) fail(db, database, "reading the records failed");
        if (sqlite3_column_int(closer.s, 0) != 0) columns = MinMax::With;
        sqlite3_finalize(closer.s);
        closer.s = nullptr;
    }
    if (sqlite3_prepare_v2(db,
                           (std::string("SELECT time, mono, board, bits, channel, name, raw, "
                                        "value, unit, status, text, ") +
                            (minMax ? "min, max" : "NULL, NULL") + kRange + " ORDER BY time, rowid")
                               .c_str(),
                           -1, &closer.s, nullptr) != SQLITE_OK)
        fail(db, database, "not a recording (no table readings)");
    bindText(closer.s, 1, from);
    bindText(closer.s, 2, to);
    if (format == ExportFormat::Csv) std::fputs(csvHeader(columns).c_str(), out);
    uint64_t count = 0;
    int rc;
    while ((rc = sqlite3_step(closer.s)) == SQLITE_ROW) {
        Record r;
        r.time = parseIsoTime(columnText(closer.s, 0));
        r.mono = sqlite3_column_double(closer.s, 1);
        r.board = columnText(closer.s, 2);
        r.bits = sqlite3_column_int(closer.s, 3);
        r.channel = sqlite3_column_int(closer.s, 4);
        r.name = columnText(closer.s, 5);
        r.raw = columnNumber(closer.s, 6);
        r.value = columnNumber(closer.s, 7);
        r.unit = columnText(closer.s, 8);
        const std::string status = columnText(closer.s, 9);
        r.status = status == "error"   ? Status::Error
                   : status == "gap"   ? Status::Gap
                   : status == "alarm" ? Status::Alarm
                   : status == "note"  ? Status::Note
                                       : Status::Ok;
        r.text = columnText(closer.s, 10);
        r.min = columnNumber(closer.s, 11);
        r.max = columnNumber(closer.s, 12);
        const std::string line = format == ExportFormat::Csv ? csvLine(r, columns) : jsonLine(r);
        if (std::fwrite(line.data(), 1, line.size(), out) != line.size())
            throw OutputError("writing the export failed", errno);
        ++count;
    }
    if (rc != SQLITE_DONE) fail(db, database, "reading the records failed");
    return count;
}

uint64_t snapshotDatabase(const std::string& database, const std::string& out) {
    struct Db {
        sqlite3* db = nullptr;
        ~Db() { sqlite3_close_v2(db); }
    } source, copy;
    if (sqlite3_open_v2(database.c_str(), &source.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        fail(source.db, database, "cannot open the database");
    sqlite3_busy_timeout(source.db, 5000);
    {
        // A file of another kind is refused before anything is written.
        sqlite3_stmt* s = nullptr;
        const int rc = sqlite3_prepare_v2(source.db, "SELECT 1 FROM readings", -1, &s, nullptr);
        sqlite3_finalize(s);
        if (rc != SQLITE_OK) fail(source.db, database, "not a recording (no table readings)");
    }
    struct stat from {
    }, to{};
    if (::stat(database.c_str(), &from) == 0 && ::stat(out.c_str(), &to) == 0 &&
        from.st_dev == to.st_dev && from.st_ino == to.st_ino)
        throw OutputError(out + ": is the database itself", EINVAL);
    // Written beside the target and renamed over it, so that `out` is never half a copy.
    const std::string part = out + ".part";
    ::unlink(part.c_str());
    struct Unlink {
        const std::string& path;
        bool keep = false;
        ~Unlink() {
            if (!keep) ::unlink(path.c_str());
        }
    } unlinkPart{part};
    if (sqlite3_open_v2(part.c_str(), &copy.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK)
        fail(copy.db, part, "cannot create the copy");
    sqlite3_busy_timeout(copy.db, 5000);
    // One step copies every page within one read transaction: the copy is the database as it
    // was when that transaction began, whatever the recorder commits meanwhile.
    sqlite3_backup* backup = sqlite3_backup_init(copy.db, "main", source.db, "main");
    if (!backup) fail(copy.db, part, "cannot start the copy");
    int rc = sqlite3_backup_step(backup, -1);
    for (int tries = 0; (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && tries < 100; ++tries) {
        sqlite3_sleep(50);
        rc = sqlite3_backup_step(backup, -1);
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) fail(copy.db, part, "copying failed");
    exec(copy.db, part, "PRAGMA journal_mode=DELETE");
    uint64_t count = 0;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(copy.db, "SELECT count(*) FROM readings", -1, &s, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
        count = static_cast<uint64_t>(sqlite3_column_int64(s, 0));
    sqlite3_finalize(s);
    if (sqlite3_close_v2(copy.db) != SQLITE_OK) {
        copy.db = nullptr;
        throw OutputError(part + ": closing the copy failed", EIO);
    }
    copy.db = nullptr;
    if (::rename(part.c_str(), out.c_str()) != 0)
        throw OutputError(sysMessage("rename", part, errno), errno);
    unlinkPart.keep = true;
    return count;
}

}  // namespace vantrel::acquire
