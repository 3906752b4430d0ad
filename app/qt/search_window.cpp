#include "app/qt/search_window.hpp"

#include <QAbstractButton>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QScrollArea>
#include <QStackedLayout>
#include <QStyleOption>
#include <QVBoxLayout>

#include "app/qt/clamped_label.hpp"
#include "app/qt/look.hpp"
#include "app/qt/qt_services.hpp"

namespace folium::app {
namespace {

constexpr int kMinWidth = 580;
constexpr int kMinHeight = 440;
constexpr int kHeaderPadding = 14;
constexpr int kLogoSize = 26;

void makeSecondary(QWidget* widget) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, look::secondaryText(widget));
  widget->setPalette(palette);
}

// A hit's row: a flat button whose face is the icon, the name and the excerpt. Its labels
// let the mouse through, so a press anywhere on the row presses the button.
class HitRow : public QAbstractButton {
 public:
  explicit HitRow(const SearchHit& hit, QWidget* parent = nullptr) : QAbstractButton(parent) {
    setAccessibleName(look::qs(hit.name));
    setCursor(Qt::PointingHandCursor);
    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(10, 3, 10, 3);
    line->setSpacing(9);
    auto* icon = new QLabel;
    icon->setFixedWidth(18);
    icon->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    icon->setPixmap(QIcon(hit.isFile() ? QStringLiteral(":/icons/doc-text.svg")
                                       : QStringLiteral(":/icons/folder.svg"))
                        .pixmap(QSize(16, 16), devicePixelRatioF()));
    icon->setObjectName(hit.isFile() ? QStringLiteral("doc.text") : QStringLiteral("folder"));
    line->addWidget(icon, 0, Qt::AlignTop);

    auto* text = new QVBoxLayout;
    text->setSpacing(3);
    auto* name = new QLabel(look::qs(hit.name));
    name->setTextFormat(Qt::PlainText);
    QFont medium = name->font();
    medium.setWeight(QFont::Medium);
    name->setFont(medium);
    text->addWidget(name);
    const std::string excerpt = ServerSearchView::rowExcerpt(hit);
    if (!excerpt.empty()) {
      auto* lines = new ClampedLabel(look::qs(excerpt), 2);
      lines->setObjectName(QStringLiteral("excerpt"));
      lines->setFont(look::callout());
      makeSecondary(lines);
      text->addWidget(lines);
    }
    line->addLayout(text, 1);
    for (QWidget* child : findChildren<QWidget*>()) {
      child->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
  }

  QSize sizeHint() const override { return layout()->sizeHint(); }
  bool hasHeightForWidth() const override { return layout()->hasHeightForWidth(); }
  int heightForWidth(int width) const override { return layout()->totalHeightForWidth(width); }

 protected:
  void paintEvent(QPaintEvent*) override {
    if (!underMouse() && !isDown()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::WindowText);
    fill.setAlphaF(isDown() ? 0.12f : 0.06f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(rect().adjusted(4, 0, -4, 0), 5, 5);
  }
  void enterEvent(QEnterEvent* event) override {
    update();
    QAbstractButton::enterEvent(event);
  }
  void leaveEvent(QEvent* event) override {
    update();
    QAbstractButton::leaveEvent(event);
  }
};

}  // namespace

SearchWindow::SearchWindow(std::shared_ptr<ServerSearchView> view, QWidget* parent)
    : QWidget(parent), view_(std::move(view)) {
  setWindowTitle(translate(view_->windowTitle()));
  setWindowIcon(QIcon(QStringLiteral(":/icons/FoliumLogo.svg")));
  setMinimumSize(kMinWidth, kMinHeight);

  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  auto* header = new QHBoxLayout;
  header->setContentsMargins(kHeaderPadding, kHeaderPadding, kHeaderPadding, kHeaderPadding);
  header->setSpacing(10);
  header->addWidget(look::logo(kLogoSize, this), 0, Qt::AlignVCenter);
  auto* titles = new QVBoxLayout;
  titles->setSpacing(1);
  auto* headline = new QLabel(translate(view_->headline()));
  headline->setTextFormat(Qt::PlainText);
  headline->setFont(look::headline());
  titles->addWidget(headline);
  instanceName_ = new QLabel;
  instanceName_->setObjectName(QStringLiteral("instanceName"));
  instanceName_->setTextFormat(Qt::PlainText);
  instanceName_->setFont(look::caption());
  makeSecondary(instanceName_);
  titles->addWidget(instanceName_);
  header->addLayout(titles);
  header->addStretch(1);
  column->addLayout(header);

  auto* divider = new QFrame;
  divider->setFrameShape(QFrame::HLine);
  divider->setFrameShadow(QFrame::Sunken);
  column->addWidget(divider);

  body_ = new QStackedLayout;
  loading_ = new QWidget;
  auto* loadingColumn = new QVBoxLayout(loading_);
  loadingColumn->addStretch(1);
  auto* spinner = new QProgressBar;
  spinner->setRange(0, 0);  // busy: no measure of how far the search is
  spinner->setTextVisible(false);
  spinner->setFixedWidth(160);
  spinner->setFixedHeight(6);
  loadingColumn->addWidget(spinner, 0, Qt::AlignHCenter);
  auto* loadingLabel = new QLabel(tr("Recherche…"));
  makeSecondary(loadingLabel);
  loadingColumn->addWidget(loadingLabel, 0, Qt::AlignHCenter);
  loadingColumn->addStretch(1);
  body_->addWidget(loading_);

  message_ = new QLabel;
  message_->setObjectName(QStringLiteral("message"));
  message_->setTextFormat(Qt::PlainText);
  message_->setAlignment(Qt::AlignCenter);
  message_->setWordWrap(true);
  message_->setMargin(16);
  message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  makeSecondary(message_);
  body_->addWidget(message_);

  auto* scroll = new QScrollArea;
  hitsPage_ = scroll;
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list_ = new QWidget;
  rows_ = new QVBoxLayout(list_);
  rows_->setContentsMargins(0, 6, 0, 6);
  rows_->setSpacing(2);
  scroll->setWidget(list_);
  body_->addWidget(scroll);
  column->addLayout(body_, 1);

  view_->setOnChange([this] { render(); });
  render();
  view_->start();
}

SearchWindow::~SearchWindow() { view_->setOnChange({}); }

void SearchWindow::changeEvent(QEvent* event) {
  if (event->type() == QEvent::PaletteChange) {
    makeSecondary(instanceName_);
    makeSecondary(message_);
  }
  QWidget::changeEvent(event);
}

void SearchWindow::render() {
  instanceName_->setText(look::qs(view_->instanceName()));
  instanceName_->setVisible(!view_->instanceName().empty());

  if (view_->phase().kind == Phase::Kind::loading) {
    body_->setCurrentWidget(loading_);
    return;
  }
  if (const UiText message = view_->message(); !message.empty()) {
    message_->setText(translate(message));
    body_->setCurrentWidget(message_);
    return;
  }
  while (QLayoutItem* item = rows_->takeAt(0)) {
    if (QWidget* widget = item->widget()) widget->deleteLater();
    delete item;
  }
  for (const SearchHit& hit : view_->hits()) {
    auto* row = new HitRow(hit);
    connect(row, &QAbstractButton::clicked, this, [this, hit] { view_->openHit(hit); });
    rows_->addWidget(row);
  }
  rows_->addStretch(1);
  body_->setCurrentWidget(hitsPage_);
}

}  // namespace folium::app
