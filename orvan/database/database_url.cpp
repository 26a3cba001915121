// What a database's name says it is, in every build: the Windows program
// too tells a server from a file it will not make.
#include "orvan/database/production_db.h"

bool isPostgresUrl(const std::string& where) {
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0;
}
