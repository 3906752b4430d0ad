#pragma once

#include <string>
#include <string_view>

namespace folium::platform {

// The name under which the file-provider service knows an item. The plug-in chooses the
// identifiers of its own items; the three containers below belong to the service and keep
// its own spelling, since replicas and anchors stored by the service refer to them.
using ItemIdentifier = std::string;

// The top of a domain's tree. Its parent is itself.
inline constexpr std::string_view NSFileProviderRootContainerItemIdentifier =
    "NSFileProviderRootContainerItemIdentifier";
// The items the service keeps an eye on across the whole domain.
inline constexpr std::string_view NSFileProviderWorkingSetContainerItemIdentifier =
    "NSFileProviderWorkingSetContainerItemIdentifier";
// Items the user moved to the trash.
inline constexpr std::string_view NSFileProviderTrashContainerItemIdentifier =
    "NSFileProviderTrashContainerItemIdentifier";

}  // namespace folium::platform
