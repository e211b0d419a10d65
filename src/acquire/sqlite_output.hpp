// vantrel recorder: an SQLite database, table `readings`, one row a record. Write-ahead logging
// and a full sync at every commit: a killed process or a power cut leaves every committed
// batch, and the database is never left half written. Rotation by size and by UTC day as the
// text files have it, and a reopen (SIGHUP) that folds the write-ahead log into the file moved
// away before it lets go of it.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fd.hpp"

#include "record_output.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace vantrel::acquire {

class SqliteOutput : public RecordOutput {
  public:
    // Opens or creates the database and its table. Throws OutputError.
    explicit SqliteOutput(std::string path, RotateConfig rotate = {});
    ~SqliteOutput() override;

    // One transaction a rotated file's share of the records: every record of it or none.
    void write(std::span<const Record> records) override;
    void reopen() override;
    void close() override;
    const std::string& path() const override { return path_; }
    uint64_t lastSeq() const override { return lastSeq_; }
    void saveCursors(const std::map<std::string, uint64_t>& cursors) override;

    // The files rotated away so far (their paths, oldest first).
    const std::vector<std::string>& rotated() const { return rotated_; }

  private:
    void open();
    // Gives an older file the sequence column and the outputs' cursors their table.
    void addSequence();
    void rotate();
    // Folds the write-ahead log into the file whole; throws OutputError when it cannot.
    void foldLog();
    void insert(std::span<const Record> records);
    uint64_t bytes() const;
    int64_t scalar(const char* sql) const;
    void prune(std::chrono::system_clock::time_point newest);

    std::string path_;
    RotateConfig rotate_;
    Fd lock_;  // the output's lock; closed only after the database
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    // The UTC time of the database's first record; unset while it has none.
    std::optional<std::chrono::system_clock::time_point> started_;
    std::vector<std::string> rotated_;
    Retention retention_;
    uint64_t lastSeq_ = 0;
    // Every cursor saved, written again into the file a rotation begins.
    std::map<std::string, uint64_t> cursors_;
};

// A UTC time as the records store it, from what a person types: "2026-12-08",
// "2026-12-08T06:30", "2026-12-08 06:30:15.250", an optional "Z". Empty when it is none of these.
std::optional<std::string> timeBound(std::string_view text);

enum class ExportFormat { Csv, JsonLines };

// Writes the records of the database with from <= time < to (either bound may be empty) as CSV
// (header first) or JSON Lines, in order of time. Returns the number of records. Throws
// OutputError.
uint64_t exportRecords(const std::string& database, const std::string& from, const std::string& to,
                       ExportFormat format, std::FILE* out);

// A consistent copy of the database at `out`, while a recorder may be writing to it: every
// record committed when the copy began, none half. The copy is one file (no write-ahead log)
// and replaces `out` whole. Returns its number of records. Throws OutputError.
uint64_t snapshotDatabase(const std::string& database, const std::string& out);

}  // namespace vantrel::acquire
