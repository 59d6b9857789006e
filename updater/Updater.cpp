// Updater - the engine object: construction and shared settings
#include "Updater.h"

#include <utility>

Updater::Updater(std::string server_url, std::string store_path, UpdaterDisplayInterface& display)
    : server_url(std::move(server_url)), store_path(std::move(store_path)), display(display) {}

void Updater::Set_UEIBytes_Load(bool use) {
    use_uei_bytes = use;
}
