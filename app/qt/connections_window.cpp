#include "app/qt/connections_window.hpp"

#include <QCloseEvent>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/qt/look.hpp"
#include "app/qt/qt_services.hpp"

namespace folium::app {
namespace {

constexpr int kWidth = 520;
constexpr int kPadding = 28;
constexpr int kBlockSpacing = 18;
constexpr int kRowSpacing = 8;
constexpr int kRowPadding = 12;
constexpr int kLogoSize = 34;
constexpr int kHeaderSpacing = 10;

QLabel* secondaryLabel(const QString& text, QWidget* owner) {
  auto* label = new QLabel(text);
  // Statuses and addresses carry names from profile files: shown as written, never as markup.
  label->setTextFormat(Qt::PlainText);
  label->setFont(look::callout());
  label->setStyleSheet(QStringLiteral("color: %1;").arg(look::css(look::secondaryText(owner))));
  return label;
}

}  // namespace

ConnectionsWindow::ConnectionsWindow(std::shared_ptr<ConnectionsView> view, QWidget* parent)
    : QWidget(parent), view_(std::move(view)) {
  setWindowTitle(tr("Folium"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/FoliumLogo.svg")));
  setFixedWidth(kWidth);
  outer_ = new QVBoxLayout(this);
  outer_->setContentsMargins(0, 0, 0, 0);
  outer_->setSpacing(0);
  // The view lives as long as the window; a change it reports after the window is gone is
  // dropped by the destructor's reset.
  view_->setOnChange([this] { render(); });
  render();
}

ConnectionsWindow::~ConnectionsWindow() { view_->setOnChange({}); }

void ConnectionsWindow::setMenuBar(QMenuBar* menuBar) {
  outer_->setMenuBar(menuBar);
  fitHeight();
}

void ConnectionsWindow::closeEvent(QCloseEvent* event) {
  event->accept();
  emit closed();
}

void ConnectionsWindow::changeEvent(QEvent* event) {
  // Secondary colours are derived from the palette: follow a switch to a dark theme.
  if (event->type() == QEvent::PaletteChange) render();
  QWidget::changeEvent(event);
}

void ConnectionsWindow::render() {
  if (content_ != nullptr) {
    outer_->removeWidget(content_);
    content_->deleteLater();
    content_->hide();
  }
  content_ = new QWidget(this);
  auto* column = new QVBoxLayout(content_);
  column->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
  column->setSpacing(kBlockSpacing);

  auto* header = new QHBoxLayout;
  header->setSpacing(kHeaderSpacing);
  auto* title = new QLabel(tr("Folium"));
  title->setFont(look::largeTitle());
  header->addWidget(look::logo(kLogoSize, this), 0, Qt::AlignVCenter);
  header->addWidget(title, 0, Qt::AlignVCenter);
  header->addStretch(1);
  column->addLayout(header);

  const auto& connections = view_->connections();
  if (connections.empty()) {
    auto* placeholder = new QLabel(look::boldMarkdown(
        tr("Aucune instance connectée. Importe un **fichier de provisioning** téléchargé depuis "
           "ton profil folium : il contient l'adresse de l'instance et ton jeton.")));
    placeholder->setTextFormat(Qt::RichText);
    placeholder->setWordWrap(true);
    column->addWidget(placeholder);
  } else {
    auto* rows = new QVBoxLayout;
    rows->setSpacing(kRowSpacing);
    for (const auto& provisioning : connections) rows->addWidget(makeRow(provisioning));
    column->addLayout(rows);
  }

  auto* buttons = new QHBoxLayout;
  auto* importButton = new QPushButton(tr("Importer une instance…"));
  importButton->setObjectName(QStringLiteral("prominent"));
  importButton->setDefault(true);
  const QPalette& palette = this->palette();
  importButton->setStyleSheet(
      QStringLiteral("QPushButton#prominent { background: %1; color: %2; border: none;"
                     " border-radius: 5px; padding: 5px 12px; }"
                     "QPushButton#prominent:pressed { background: %3; }")
          .arg(palette.color(QPalette::Highlight).name(),
               palette.color(QPalette::HighlightedText).name(),
               palette.color(QPalette::Highlight).darker(120).name()));
  connect(importButton, &QPushButton::clicked, this, [this] { view_->importProfile(); });
  buttons->addWidget(importButton);
  if (view_->offersRefreshAndRepair()) {
    auto* refresh = new QPushButton(tr("Rafraîchir"));
    connect(refresh, &QPushButton::clicked, this, [this] { view_->refreshAll(); });
    auto* repair = new QPushButton(tr("Réparer le disque"));
    connect(repair, &QPushButton::clicked, this, [this] { view_->repairDisk(); });
    buttons->addWidget(refresh);
    buttons->addWidget(repair);
  }
  buttons->addStretch(1);
  column->addLayout(buttons);

  if (!view_->status().empty()) {
    auto* status = secondaryLabel(translate(view_->status()), this);
    status->setObjectName(QStringLiteral("status"));
    status->setWordWrap(true);
    status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(status);
  }

  outer_->addWidget(content_);
  // A child made while the window is shown starts hidden, and the layout would not count it.
  content_->show();
  fitHeight();
}

QWidget* ConnectionsWindow::makeRow(const FoliumProvisioning& provisioning) {
  auto* row = new QFrame;
  row->setObjectName(QStringLiteral("connection"));
  QColor fill = palette().color(QPalette::WindowText);
  fill.setAlphaF(0.04f);
  row->setStyleSheet(QStringLiteral("QFrame#connection { background: %1; border-radius: 8px; }")
                         .arg(look::css(fill)));
  auto* line = new QHBoxLayout(row);
  line->setContentsMargins(kRowPadding, kRowPadding, kRowPadding, kRowPadding);

  auto* text = new QVBoxLayout;
  text->setSpacing(2);
  auto* name = new QHBoxLayout;
  name->setSpacing(5);
  const QColor green(0x2e, 0x9e, 0x44);
  auto* seal = new QLabel;
  seal->setPixmap(QIcon(QStringLiteral(":/icons/checkmark-seal.svg"))
                      .pixmap(QSize(15, 15), devicePixelRatioF()));
  auto* displayName = new QLabel(look::qs(provisioning.displayName));
  displayName->setTextFormat(Qt::PlainText);
  displayName->setStyleSheet(QStringLiteral("color: %1;").arg(green.name()));
  name->addWidget(seal);
  name->addWidget(displayName);
  name->addStretch(1);
  text->addLayout(name);
  auto* address = secondaryLabel(look::qs(provisioning.instanceURL.absoluteString()), this);
  address->setTextFormat(Qt::PlainText);
  address->setTextInteractionFlags(Qt::TextSelectableByMouse);
  text->addWidget(address);
  line->addLayout(text, 1);

  auto* open = new QPushButton(tr("Ouvrir dans le Finder"));
  connect(open, &QPushButton::clicked, this,
          [this, provisioning] { view_->openInFinder(provisioning); });
  auto* disconnect = new QPushButton(tr("Déconnecter"));
  // A destructive action: drawn in red, as the desktop marks removals.
  disconnect->setStyleSheet(QStringLiteral("QPushButton { color: #d0312d; }"));
  connect(disconnect, &QPushButton::clicked, this,
          [this, provisioning] { view_->disconnect(provisioning); });
  line->addWidget(open, 0, Qt::AlignVCenter);
  line->addWidget(disconnect, 0, Qt::AlignVCenter);
  return row;
}

void ConnectionsWindow::fitHeight() {
  outer_->activate();
  const int height = outer_->hasHeightForWidth() ? outer_->totalHeightForWidth(kWidth)
                                                 : outer_->totalSizeHint().height();
  setFixedHeight(height);
}

}  // namespace folium::app
