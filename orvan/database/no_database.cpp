// The Windows program goes without the production database: its SQLite and
// libpq are not in its cross build. The log file records its runs instead.
#include "orvan/database/production_db.h"

static const char* const NOT_BUILT = "the production database is not in this build (Windows); --log works";

bool productionDbBuilt() {
    return false;
}

ProductionDb* openProductionDb(const std::string&, std::string* error) {
    *error = NOT_BUILT;
    return nullptr;
}

void closeProductionDb(ProductionDb*) {}

const char* productionDbKind(const ProductionDb*) {
    return "none";
}

DbResult reserveUnits(ProductionDb*, const RunIdentity&, const std::vector<PoolDraw>&,
                      const std::vector<UnitPlace>&,
                      const std::function<std::vector<std::string>(const std::vector<uint64_t>&)>&,
                      std::vector<ReservedUnit>* units, std::string* error) {
    units->clear();
    *error = NOT_BUILT;
    return DB_FAILED;
}

bool recordUnit(ProductionDb*, const RunIdentity&, const UnitPlace&, const UnitOutcome&, std::string* error) {
    *error = NOT_BUILT;
    return false;
}

bool readUnits(ProductionDb*, std::vector<UnitRow>*, std::string* error) {
    *error = NOT_BUILT;
    return false;
}

bool readRecords(ProductionDb*, const std::string&, const std::string&, std::vector<RecordRow>*,
                 std::string* error) {
    *error = NOT_BUILT;
    return false;
}

bool verifyRecords(ProductionDb*, std::string*, std::string* error) {
    *error = NOT_BUILT;
    return false;
}
