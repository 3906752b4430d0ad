#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/app_services.hpp"
#include "app/domain_operations.hpp"
#include "app/ui_text.hpp"
#include "core/folium_provisioning.hpp"

namespace folium::app {

// The connection screen: the connected instances (one stored profile each) and one line of
// feedback, with the operations of its buttons.
//
// Threading: create it, call it and read it on the main thread only. The operations return
// at once; their results reach the state later, on the main thread, and each change is
// followed by the change callback. An operation's optional `done` runs on the main thread
// after its last change, with whether it succeeded (foliumctl's exit status).
//
// Lifetime: owned through shared_ptr. Work that completes after the view was destroyed is
// dropped (the service still carries out what was asked of it).
class ConnectionsView : public std::enable_shared_from_this<ConnectionsView> {
 public:
  using Done = std::function<void(bool succeeded)>;

  // `connections` and `status` as the screen starts (the tray application passes the
  // store's profiles and an empty status).
  static std::shared_ptr<ConnectionsView> create(AppServices services,
                                                 std::vector<FoliumProvisioning> connections,
                                                 UiText status = {});

  // The profiles shown, in the store's order; replaced whole after every operation that can
  // change the store.
  const std::vector<FoliumProvisioning>& connections() const { return connections_; }
  // One line under the buttons; empty means no line.
  const UiText& status() const { return status_; }
  // "Rafraîchir" and "Réparer le disque" are offered only with at least one connection.
  bool offersRefreshAndRepair() const { return !connections_.empty(); }

  // Called on the main thread after every change of connections() or status().
  void setOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

  // The screen appeared: reconciles the domains, then reloads the list.
  void appear(Done done = {});
  // "Importer une instance…": asks the open panel for a file, stores its profile and
  // registers the drive, and says how it went in status().
  void importProfile(Done done = {});
  // Shows how an import of a file handed over by the desktop ended (see importProfile() in
  // domain_operations.hpp), with the status line "Importer une instance…" would write, and
  // reloads the list.
  void showImportOutcome(const ImportOutcome& outcome);
  // "Rafraîchir": asks every registered drive to look for changes again (working set, then
  // root). Writes no status.
  void refreshAll(Done done = {});
  // "Réparer le disque": removes every domain, registers one per stored profile again.
  void repairDisk(Done done = {});
  // "Ouvrir dans le Finder": opens the drive's folder in the file manager. Writes no
  // status; `done` says whether a folder was opened.
  void openInFinder(const FoliumProvisioning& provisioning, Done done = {});
  // "Déconnecter": removes the drive and the stored profile.
  void disconnect(const FoliumProvisioning& provisioning, Done done = {});
  // Reads the list from the store again.
  void reloadConnections();

 private:
  ConnectionsView(AppServices services, std::vector<FoliumProvisioning> connections, UiText status);
  void setStatus(UiText status);
  void changed();

  AppServices services_;
  std::vector<FoliumProvisioning> connections_;
  UiText status_;
  std::function<void()> onChange_;
};

}  // namespace folium::app
