// vantrel recorder: an SQLite database, table `readings`, one row a record. Write-ahead logging
// and a full sync at every commit: a killed process or a power cut leaves every committed
// batch, and the database is never left half written.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "record_output.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace vantrel::acquire {

class SqliteOutput : public RecordOutput {
  public:
    // Opens or creates the database and its table. Throws OutputError.
    explicit SqliteOutput(std::string path);
    ~SqliteOutput() override;

    // One transaction: every record or none.
    void write(std::span<const Record> records) override;
    void close() override;
    const std::string& path() const override { return path_; }

  private:
    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

// A UTC time as the records store it, from what a person types: "2026-12-08",
// "2026-12-08T06:30", "2026-12-08 06:30:15.250", an optional "Z". Empty when it is none of these.
std::optional<std::string> timeBound(std::string_view text);

// Writes the records of the database with from <= time < to (either bound may be empty) as CSV,
// header first, in order of time. Returns the number of records. Throws OutputError.
uint64_t exportCsv(const std::string& database, const std::string& from, const std::string& to,
                   std::FILE* out);

}  // namespace vantrel::acquire
