#pragma once

#include "devserver/store.hpp"

namespace folium::devserver {

// Fills the store with a small French sample tree: the workspaces "Direction", "Projets"
// and "Ressources humaines", nested folders, and Markdown, text and PDF documents with
// contents search can find. Meant for an empty store.
void seedDemoTree(Store& store);

}  // namespace folium::devserver
