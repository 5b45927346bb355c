#include "group_store.h"

namespace lumo::directory {

std::unique_ptr<GroupStore> openPostgresStore(const std::string&, std::string& error)
{
    error = "this lumo-directory was built without PostgreSQL (libpq)";
    return nullptr;
}

}  // namespace lumo::directory
