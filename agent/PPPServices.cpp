#include "agent/PPPServices.h"

std::optional<platform::Value> PPPServices::sysconfigGetValue(const platform::ConfigStore* store,
                                                              std::string_view key) {
    if (!store)
        return std::nullopt;
    return store->copyValue(key);
}

std::optional<platform::Dictionary>
PPPServices::currentServices(const platform::ConfigStore* store) {
    auto global = sysconfigGetValue(store, platform::kGlobalIPv4Key);
    if (!global)
        return std::nullopt;
    platform::Dictionary services;
    const platform::Dictionary* ipv4 = global->asDictionary();
    const platform::Value* order = ipv4 ? ipv4->find("ServiceOrder") : nullptr;
    if (!order || !order->asArray())
        return services; // a missing order lists no service
    for (const platform::Value& v : *order->asArray()) {
        const std::string* serviceID = v.asString();
        if (!serviceID || services.contains(*serviceID))
            continue;
        if (sysconfigGetValue(store, platform::servicePPPKey(*serviceID)))
            services.set(*serviceID, platform::Value(platform::Dictionary{}));
    }
    return services;
}
