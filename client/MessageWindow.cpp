#include "client/MessageWindow.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QUrl>

#include "client/ClientWidgets.h"
#include "client/Form1.h"
#include "client/Tray.h"
#include "common/AgentConfig.h"

namespace client {
namespace {

// Left edge and width of the six columns, in twips.
struct Column {
  int Left;
  int Width;
};
constexpr Column kTipoColumn{60, 1200};
constexpr Column kMaquinaColumn{1290, 1700};
constexpr Column kClienteColumn{3020, 1700};
constexpr Column kDataColumn{4750, 1900};
constexpr Column kOpenColumn{6680, 225};
constexpr Column kDescrColumn{6935, 225};
constexpr int kHeaderTop = 120;

const QColor kPaleGreen(204, 255, 204);
const QColor kLightCyan(192, 255, 255);
const QColor kLightRed(255, 192, 192);

constexpr int kSlidePauseMs = 100;
constexpr int kSlideLastPauseMs = 200;

QRect Twips(Column column, double top, double height) {
  return QRect(TwipsToPixels(column.Left), TwipsToPixels(top), TwipsToPixels(column.Width),
               TwipsToPixels(height));
}

void Paint(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, colour);
  label->setPalette(palette);
  label->setAutoFillBackground(true);
}

QSizeF ScreenTwips() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QSize size = screen != nullptr ? screen->geometry().size() : QSize(1024, 768);
  return QSizeF(PixelsToTwips(size.width()), PixelsToTwips(size.height()));
}

}  // namespace

MessageWindow::MessageWindow(Form1* form1) : form1_(form1), waits_(form1->Waits()) {
  setObjectName(QStringLiteral("MessageWindow"));
  setWindowTitle(QStringLiteral("Message  Window"));
  setWindowIcon(Icon());
  // The window slides in without being activated; its tool tips (the
  // descriptions and links) must show all the same.
  setAttribute(Qt::WA_AlwaysShowToolTips);
  QPalette green = palette();
  green.setColor(QPalette::Window, kPaleGreen);
  setPalette(green);
  setAutoFillBackground(true);

  const std::pair<const char*, Column> headers[] = {{"Tipo  ", kTipoColumn},
                                                    {"Maquina", kMaquinaColumn},
                                                    {"Cliente", kClienteColumn},
                                                    {"Data", kDataColumn}};
  for (const auto& [caption, column] : headers) {
    auto* header = new QLabel(QString::fromLatin1(caption), this);
    header->setObjectName(QStringLiteral("Header_") + QString::fromLatin1(caption).trimmed());
    QFont bold = header->font();
    bold.setBold(true);
    header->setFont(bold);
    header->setGeometry(Twips(column, kHeaderTop, kRowHeight));
  }
  auto* close = Named<ClickLabel>("CloseLBL", QStringLiteral("X"), this);
  close->setAlignment(Qt::AlignCenter);
  close->setGeometry(Twips({kDescrColumn.Left, kDescrColumn.Width}, 30, kRowHeight));
  connect(close, &ClickLabel::clicked, this, &MessageWindow::CloseLBL_Click);

  rows_.push_back(MakeRow(0));
  PlaceRow(rows_[0], 0);
  Form_Load();
  setFixedSize(TwipsToPixels(kMessageWindowWidth), TwipsToPixels(height_twips_));
}

MessageWindow::Row MessageWindow::MakeRow(int index) {
  auto label = [this, index](const char* array, const char* caption) {
    auto* item = new QLabel(QString::fromLatin1(caption), this);
    item->setObjectName(QStringLiteral("%1_%2").arg(QString::fromLatin1(array)).arg(index));
    return item;
  };
  auto mark = [this, index](const char* array, const char* caption) {
    auto* item = new ClickLabel(QString::fromLatin1(caption), this);
    item->setObjectName(QStringLiteral("%1_%2").arg(QString::fromLatin1(array)).arg(index));
    item->setAlignment(Qt::AlignCenter);
    return item;
  };
  Row row{label("Tipo", "Tipo"),    label("Maquina", "Maquina"), label("Cliente", "Cliente"),
          label("Data", "Data"),    mark("OpenURL", "o"),        mark("Descr", "?"),
          {},
          {"Tipo", "Data", "Cliente", "Maquina", ""}};
  connect(row.OpenURL, &ClickLabel::clicked, this, [this, index] { OpenURL_Click(index); });
  connect(row.Descr, &ClickLabel::clicked, this, [this, index] { Descr_Click(index); });
  return row;
}

void MessageWindow::PlaceRow(const Row& row, int index) {
  const double top = kFirstRowTop + index * (kRowHeight + kRowGap);
  row.Tipo->setGeometry(Twips(kTipoColumn, top, kRowHeight));
  row.Maquina->setGeometry(Twips(kMaquinaColumn, top, kRowHeight));
  row.Cliente->setGeometry(Twips(kClienteColumn, top, kRowHeight));
  row.Data->setGeometry(Twips(kDataColumn, top, kRowHeight));
  row.OpenURL->setGeometry(Twips(kOpenColumn, top, kRowHeight));
  row.Descr->setGeometry(Twips(kDescrColumn, top, kRowHeight));
}

void MessageWindow::Form_Load() {
  const std::optional<std::vector<EventLine>> events = ReadEventFile();
  if (!events) return;
  for (size_t n = 0; n < events->size() && n < static_cast<size_t>(kMaxShownEvents); ++n) {
    const int index = static_cast<int>(n);
    if (index > 0) {
      if (index > kRowsInDesign) height_twips_ += kRowHeight + kRowGap;
      rows_.push_back(MakeRow(index));
      PlaceRow(rows_.back(), index);
    }
    FillRow(rows_[n], (*events)[n]);
  }
}

void MessageWindow::FillRow(Row& row, const EventLine& event) {
  const QString description = TextFromBytes(event.Description());
  row.Description = event.Description();
  row.Shown = {event.Type(), event.Date(), event.Client(), event.Machine(),
               EventLink(common::TheAgentConfig().CentralServer, event)};
  row.Tipo->setText(TextFromBytes(event.Type()));
  row.Tipo->setToolTip(description);
  row.Data->setText(TextFromBytes(event.Date()));
  row.Cliente->setText(TextFromBytes(event.Client()));
  row.Maquina->setText(TextFromBytes(event.Machine()));
  row.OpenURL->setToolTip(TextFromBytes(row.Shown.Link));
  row.Descr->setToolTip(description);
  const QColor colour = IsMonitorEvent(event) ? kLightCyan : kLightRed;
  for (QLabel* label : {row.Tipo, row.Maquina, row.Cliente, row.Data,
                        static_cast<QLabel*>(row.OpenURL), static_cast<QLabel*>(row.Descr)}) {
    Paint(label, colour);
  }
}

std::vector<ShownRow> MessageWindow::ShownRows() const {
  // The rows keep the bytes their labels were made from, so the check compares
  // bytes with bytes whatever the labels' decoding.
  std::vector<ShownRow> shown;
  shown.reserve(rows_.size());
  for (const Row& row : rows_) shown.push_back(row.Shown);
  return shown;
}

void MessageWindow::EventCompare() {
  const std::optional<std::vector<EventLine>> events = ReadEventFile();
  if (!events) return;
  form1_->AlertNewEvents(
      CountNewEvents(*events, ShownRows(), common::TheAgentConfig().CentralServer));
}

void MessageWindow::SetTopTwips(double top) { move(x(), TwipsToPixels(top)); }

void MessageWindow::SlideInMessageWindow() {
  const QPointer<MessageWindow> self(this);
  const QSizeF screen = ScreenTwips();
  const double h = screen.height();
  auto at = [self](double top, bool show_it) {
    return [self, top, show_it] {
      if (self == nullptr) return;
      self->SetTopTwips(top);
      if (show_it) self->show();
      self->repaint();
    };
  };
  waits_.Append([self, screen] {
    if (self == nullptr) return;
    self->move(TwipsToPixels(screen.width() - kMessageWindowWidth), self->y());
    HideTitleBar(self);
  });
  waits_.Append(at(h - 200, true), kSlidePauseMs);
  waits_.Append(at(h - 500, true), kSlidePauseMs);
  waits_.Append(at(h - height_twips_ / 2, false), kSlidePauseMs);
  waits_.Append(at(h - height_twips_ - 100, false), kSlideLastPauseMs);
  waits_.Append(at(h - height_twips_ - 450, false));
}

void MessageWindow::SlideOutMessageWindow() {
  const QPointer<MessageWindow> self(this);
  const double h = ScreenTwips().height();
  waits_.Append([self] {
    if (self != nullptr) self->repaint();
  });
  for (const double top : {h - height_twips_ - 450, h - height_twips_ - 100, h - height_twips_ / 2,
                           h - 500, h - 200}) {
    waits_.Append(
        [self, top] {
          if (self == nullptr) return;
          self->SetTopTwips(top);
          self->repaint();
        },
        kSlidePauseMs);
  }
  waits_.Append([self] {
    if (self != nullptr) self->hide();
  });
}

void MessageWindow::CloseLBL_Click() {
  // The rows shown are going; so is the alert about what they lack.
  form1_->EndAlert();
  SlideOutMessageWindow();
  const QPointer<MessageWindow> self(this);
  waits_.Append([self] {
    if (self == nullptr) return;
    self->hide();
    self->deleteLater();
  });
}

void MessageWindow::OpenURL_Click(int index) {
  if (index < 0 || index >= RowCount()) return;
  QDesktopServices::openUrl(QUrl(rows_[index].OpenURL->toolTip()));
}

void MessageWindow::Descr_Click(int index) {
  if (index < 0 || index >= RowCount()) return;
  const Row& row = rows_[index];
  ShowMessage(this, TextFromBytes(EventDetailText(row.Description, row.Shown.Client,
                                                  row.Shown.Machine, row.Shown.Type)));
}

QIcon MessageWindow::Icon() {
  // Made once and kept for the life of the process, so every use is the same icon.
  static const QIcon* const icon = new QIcon(MakeIcon(QColor(230, 120, 0), QStringLiteral("!"), true));
  return *icon;
}
}  // namespace client
