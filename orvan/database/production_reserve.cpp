// Reserving units: every pool's next numbers, taken under the pool row's
// lock, so that no two stations ever get the same number.
#include <limits>
#include <map>

#include "orvan/database/production_store.h"

// A pool's counter holds the number after the last issued, and the database
// holds signed 64-bit numbers.
const uint64_t MAX_POOL_NUMBER = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - 1;

// Makes the pool's row on first use and locks it for the transaction; the
// UPDATE takes the lock, and only then is the counter read.
static bool lockPool(DbConnection* connection, const std::string& pool, uint64_t* next, std::string* error) {
    std::vector<DbRow> rows;
    int64_t number = 0;
    if (!connection->exec(
            "INSERT INTO pools (name, next_number) VALUES ($1, 0) ON CONFLICT (name) DO NOTHING", {pool},
            nullptr, error) ||
        !connection->exec("UPDATE pools SET next_number = next_number WHERE name = $1 RETURNING next_number",
                          {pool}, &rows, error)) {
        return false;
    }
    if (rows.size() != 1 || !parseInt64(rows[0].at(0), &number) || number < 0) {
        *error = "pool " + pool + " has no counter that can be read";
        return false;
    }
    *next = static_cast<uint64_t>(number);
    return true;
}

// The first number of each draw for count units, advancing the counters;
// false with exhausted set when a draw has fewer numbers left.
static bool takeNumbers(const std::vector<PoolDraw>& draws, uint64_t count,
                        std::map<std::string, uint64_t>* next, std::vector<uint64_t>* starts, bool* exhausted,
                        std::string* error) {
    for (const PoolDraw& draw : draws) {
        uint64_t& counter = (*next)[draw.pool];
        uint64_t start = std::max(counter, draw.first);
        uint64_t left = start > draw.last ? 0 : draw.last - start + 1;
        if (left < count) {
            *exhausted = true;
            *error = "pool " + draw.pool + " has " + std::to_string(left) + " numbers left in [" +
                     std::to_string(draw.first) + ", " + std::to_string(draw.last) + "], " +
                     std::to_string(count) + " asked: nothing was reserved";
            return false;
        }
        starts->push_back(start);
        counter = start + count;
    }
    return true;
}

static bool insertUnit(DbConnection* connection, const RunIdentity& run, const UnitPlace& place,
                       const std::string& now, ReservedUnit* unit, std::string* error) {
    std::vector<DbRow> rows;
    if (!connection->exec("INSERT INTO units (state, station, slot, location, recipe, run_id, reserved_at)"
                          " VALUES ('reserved', $1, $2, $3, $4, $5, $6) RETURNING id",
                          {run.station, place.slot, place.location, run.recipe, run.runId, now}, &rows,
                          error)) {
        return false;
    }
    if (rows.size() != 1 || !parseInt64(rows[0].at(0), &unit->id)) {
        *error = "the database gave the new unit no id";
        return false;
    }
    for (size_t position = 0; position < unit->values.size(); position++) {
        const UnitValue& value = unit->values[position];
        if (!connection->exec("INSERT INTO unit_values (unit_id, position, pool, number, text)"
                              " VALUES ($1, $2, $3, $4, $5)",
                              {std::to_string(unit->id), std::to_string(position), value.pool,
                               std::to_string(value.number), value.text},
                              nullptr, error)) {
            return false;
        }
    }
    return true;
}

static bool checkDraws(const std::vector<PoolDraw>& draws, std::string* error) {
    for (const PoolDraw& draw : draws) {
        if (draw.last > MAX_POOL_NUMBER) {
            *error = "pool " + draw.pool + " goes to " + std::to_string(draw.last) +
                     ", above the largest number " + std::to_string(MAX_POOL_NUMBER) +
                     " that the database holds";
            return false;
        }
    }
    return true;
}

// Locked in the names' order, so that two reservations never wait on each other.
static bool lockPools(DbConnection* connection, const std::vector<PoolDraw>& draws,
                      std::map<std::string, uint64_t>* next, std::string* error) {
    for (const PoolDraw& draw : draws) {
        (*next)[draw.pool] = 0;
    }
    for (auto& pool : *next) {
        if (!lockPool(connection, pool.first, &pool.second, error)) {
            return false;
        }
    }
    return true;
}

static bool storeCounters(DbConnection* connection, const std::map<std::string, uint64_t>& next,
                          std::string* error) {
    for (const auto& pool : next) {
        if (!connection->exec("UPDATE pools SET next_number = $2 WHERE name = $1",
                              {pool.first, std::to_string(pool.second)}, nullptr, error)) {
            return false;
        }
    }
    return true;
}

typedef std::function<std::vector<std::string>(const std::vector<uint64_t>&)> ValueTexts;

// Unit i takes the number start + i of every draw.
static bool makeUnits(DbConnection* connection, const RunIdentity& run, const std::vector<PoolDraw>& draws,
                      const std::vector<UnitPlace>& places, const ValueTexts& texts,
                      const std::vector<uint64_t>& starts, std::vector<ReservedUnit>* units,
                      std::string* error) {
    std::string now = utcNow();
    for (size_t i = 0; i < places.size(); i++) {
        std::vector<uint64_t> numbers;
        for (uint64_t start : starts) {
            numbers.push_back(start + i);
        }
        std::vector<std::string> textsOfUnit = texts(numbers);
        if (textsOfUnit.size() != numbers.size()) {
            *error = "the unit's values have " + std::to_string(textsOfUnit.size()) + " texts for " +
                     std::to_string(numbers.size()) + " numbers";
            return false;
        }
        ReservedUnit unit{0, {}};
        for (size_t d = 0; d < draws.size(); d++) {
            unit.values.push_back({draws[d].pool, numbers[d], textsOfUnit[d]});
        }
        if (!insertUnit(connection, run, places[i], now, &unit, error)) {
            return false;
        }
        units->push_back(unit);
    }
    return true;
}

DbResult reserveUnits(ProductionDb* db, const RunIdentity& run, const std::vector<PoolDraw>& draws,
                      const std::vector<UnitPlace>& places, const ValueTexts& texts,
                      std::vector<ReservedUnit>* units, std::string* error) {
    units->clear();
    if (!checkDraws(draws, error)) {
        return DB_FAILED;
    }
    DbConnection* connection = db->connection;
    bool exhausted = false;
    std::vector<ReservedUnit> made;
    bool reserved = inTransaction(
        connection, true,
        [&] {
            made.clear();
            std::map<std::string, uint64_t> next;
            std::vector<uint64_t> starts;
            return lockPools(connection, draws, &next, error) &&
                   takeNumbers(draws, places.size(), &next, &starts, &exhausted, error) &&
                   storeCounters(connection, next, error) &&
                   makeUnits(connection, run, draws, places, texts, starts, &made, error);
        },
        error);
    if (!reserved) {
        return exhausted ? DB_EXHAUSTED : DB_FAILED;
    }
    *units = made;
    return DB_OK;
}
