#include "get_providers.h"

#include "UPSBattery29Provider.h"

std::vector<std::shared_ptr<Provider>> get_providers() {
    std::vector<std::shared_ptr<Provider>> providers;
    providers.push_back(std::make_shared<UPSBattery29Provider>());
    return providers;
}
