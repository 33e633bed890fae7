#include "client/ClientWidgets.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include <cmath>

namespace client {
namespace {

constexpr double kTwipsPerInch = 1440;

std::function<void(const QString&)>& MessageSink() {
  static std::function<void(const QString&)> sink;
  return sink;
}

int& Beeps() {
  static int beeps = 0;
  return beeps;
}

}  // namespace

double TwipsPerPixel() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  const double dpi = screen != nullptr ? screen->logicalDotsPerInch() : 96;
  return kTwipsPerInch / (dpi > 0 ? dpi : 96);
}

int TwipsToPixels(double twips) { return static_cast<int>(std::lround(twips / TwipsPerPixel())); }

double PixelsToTwips(int pixels) { return pixels * TwipsPerPixel(); }

QString ApplicationTitle() { return QStringLiteral("TarvoAgentCliente"); }

void ShowMessage(QWidget* parent, const QString& text) {
  if (MessageSink()) {
    MessageSink()(text);
    return;
  }
  QMessageBox::information(parent, ApplicationTitle(), text, QMessageBox::Ok);
}

void SetMessageSink(std::function<void(const QString&)> sink) { MessageSink() = std::move(sink); }

void Beep() {
  ++Beeps();
  QApplication::beep();
}

int BeepCount() { return Beeps(); }

QIcon MakeIcon(const QColor& background, const QString& mark, bool disc) {
  QPixmap face(32, 32);
  face.fill(Qt::transparent);
  QPainter painter(&face);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(background);
  painter.setPen(Qt::NoPen);
  if (disc) {
    painter.drawEllipse(QRectF(1, 1, 30, 30));
  } else {
    painter.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);
  }
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(22);
  painter.setFont(font);
  painter.drawText(face.rect(), Qt::AlignCenter, mark);
  painter.end();
  return QIcon(face);
}

QString TextFromBytes(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

std::string BytesFromText(const QString& text) {
  return text.toLatin1().toStdString();
}

StepQueue::StepQueue(QObject* parent) : QObject(parent), pause_(new QTimer(this)) {
  pause_->setSingleShot(true);
  connect(pause_, &QTimer::timeout, this, &StepQueue::RunSteps);
}

void StepQueue::Append(std::function<void()> step, int pause_ms) {
  steps_.emplace_back(std::move(step), pause_ms);
  if (!running_) RunSteps();
}

void StepQueue::Clear() {
  steps_.clear();
  pause_->stop();
  running_ = false;
  ++clears_;
}

void StepQueue::RunSteps() {
  running_ = true;
  const unsigned clears = clears_;
  while (!steps_.empty()) {
    auto [step, pause_ms] = std::move(steps_.front());
    steps_.pop_front();
    if (step) step();
    // A step that cleared the queue ended this run; steps it appended since
    // run on their own.
    if (clears_ != clears) return;
    if (pause_ms > 0) {
      pause_->start(pause_ms);
      return;
    }
  }
  running_ = false;
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) emit clicked();
  QLabel::mousePressEvent(event);
}

}  // namespace client
