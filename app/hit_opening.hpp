#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/app_services.hpp"
#include "core/records.hpp"
#include "platform/fileprovider/domain.hpp"

namespace folium::app {

// Extensions of the files handed to the Markdown editor, lower case.
const std::set<std::string, std::less<>>& markdownExtensions();
// The Markdown editor's desktop-file id.
inline constexpr std::string_view kMarkdownEditorId = "fr.quenor.scrivel.desktop";

// How a file was handed on.
enum class OpenedWith { nothing, markdownEditor, defaultHandler };

// The item identifier under which the drive knows a hit's file: "do:" and the entity id.
std::string hitItemIdentifier(const SearchHit& hit);

// The hit's file in the drive's local copy: the location the service gives for its item,
// when a file (not a folder) exists there. None otherwise, also when the domain has no
// manager. The completion runs on any thread.
void localFile(const AppServices& services, const SearchHit& hit,
               const platform::FileProviderDomain& domain,
               std::function<void(std::optional<std::filesystem::path>)> completion);

// Opens a local file: Markdown files (by extension, any case) with the Markdown editor when
// it is installed, everything else, and Markdown without the editor, with the default
// handler. Main thread.
OpenedWith openFile(const AppServices& services, const std::filesystem::path& file);

// Opens a hit from the drive's local copy (localFile, then openFile on the main thread).
// Folders, files the drive does not have and hits without a location open nothing. The
// completion, if any, runs on the main thread.
void openHit(const AppServices& services, const SearchHit& hit,
             const platform::FileProviderDomain& domain,
             std::function<void(OpenedWith)> completion = {});

}  // namespace folium::app
