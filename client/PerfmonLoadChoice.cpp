#include "client/PerfmonLoadChoice.h"

#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>

#include "client/ConfigF.h"
#include "client/PerfChoice.h"
#include "client/ClientWidgets.h"
#include "common/TextUtil.h"

namespace client {
namespace {

// One step of the object scan; the window handles its events between steps.
constexpr std::chrono::milliseconds kScanSlice(20);

void ReplaceItems(QListWidget* list, const std::vector<std::string>& pieces) {
  list->clear();
  for (const std::string& piece : pieces) list->addItem(TextFromBytes(piece));
}

}  // namespace

PerfmonLoadChoice::PerfmonLoadChoice(ConfigF* editor) : QMainWindow(editor), editor_(editor) {
  setWindowTitle(QStringLiteral("PerfmonLoadChoice"));
  ExitMenu = Named<QAction>("ExitMenu", QStringLiteral("Exit"), menuBar());
  menuBar()->addAction(ExitMenu);

  auto* area = new QWidget(this);
  setCentralWidget(area);
  auto* grid = new QGridLayout(area);
  KeyPerfMon = Named<QComboBox>("KeyPerfMon", area);
  KeyPerfMon->setEditable(true);
  KeyPerfMon->setInsertPolicy(QComboBox::NoInsert);
  CountersPerfMon = Named<QListWidget>("CountersPerfMon", area);
  InstancePerfMon = Named<QListWidget>("InstancePerfMon", area);
  PfMonVal = Named<QLineEdit>("PfMonVal", area);
  SendPf1 = Named<QPushButton>("SendPf1", QStringLiteral("Pfmon1"), area);
  SendPf2 = Named<QPushButton>("SendPf2", QStringLiteral("Pfmon2"), area);
  grid->addWidget(KeyPerfMon, 0, 0, 1, 2);
  grid->addWidget(CountersPerfMon, 1, 0);
  grid->addWidget(InstancePerfMon, 1, 1);
  grid->addWidget(PfMonVal, 2, 0);
  auto* buttons = new QHBoxLayout();
  buttons->addWidget(SendPf1);
  buttons->addWidget(SendPf2);
  grid->addLayout(buttons, 2, 1);
  resize(TwipsToPixels(9000), TwipsToPixels(6000));

  connect(ExitMenu, &QAction::triggered, this, &PerfmonLoadChoice::ExitMenu_Click);
  connect(KeyPerfMon, &QComboBox::activated, this, &PerfmonLoadChoice::KeyPerfMon_Validate);
  connect(KeyPerfMon->lineEdit(), &QLineEdit::editingFinished, this,
          &PerfmonLoadChoice::KeyPerfMon_Validate);
  connect(CountersPerfMon, &QListWidget::itemSelectionChanged, this,
          &PerfmonLoadChoice::CountersPerfMon_Click);
  connect(InstancePerfMon, &QListWidget::itemSelectionChanged, this,
          &PerfmonLoadChoice::InstancePerfMon_Click);
  connect(SendPf1, &QPushButton::clicked, this, &PerfmonLoadChoice::SendPf1_Click);
  connect(SendPf2, &QPushButton::clicked, this, &PerfmonLoadChoice::SendPf2_Click);

  Form_Load();
}

PerfmonLoadChoice::~PerfmonLoadChoice() = default;

void PerfmonLoadChoice::Form_Load() {
  KeyPerfMon->setEnabled(false);
  CountersPerfMon->setEnabled(false);
  KeyPerfMon->setEditText(TextFromBytes(std::string(kWaitText)));
  if (!PerfObjectList().empty()) {
    FillObjects();
    return;
  }
  scan_ = std::make_unique<PerfObjectScan>();
  QTimer::singleShot(0, this, &PerfmonLoadChoice::ScanStep);
}

void PerfmonLoadChoice::ScanStep() {
  if (!scan_) return;
  if (!scan_->Step(kScanSlice)) {
    QTimer::singleShot(0, this, &PerfmonLoadChoice::ScanStep);
    return;
  }
  PerfObjectList() = scan_->Result();
  scan_.reset();
  FillObjects();
}

void PerfmonLoadChoice::FillObjects() {
  KeyPerfMon->clear();
  for (const std::string& piece : ListPieces(PerfObjectList()))
    KeyPerfMon->addItem(TextFromBytes(piece));
  KeyPerfMon->setEnabled(true);
  CountersPerfMon->setEnabled(true);
}

void PerfmonLoadChoice::KeyPerfMon_Validate() {
  const std::string index = ObjectIndexOf(BytesFromText(KeyPerfMon->currentText()));
  // The waiting text and typed text without "|" name no object. Leaving the
  // box without changing the object (hiding the window moves the focus too)
  // keeps the lists as they are.
  if (index.empty() || index == listed_index_) return;
  listed_index_ = index;
  ReplaceItems(CountersPerfMon, ListPieces(ListCounters(index)));
}

void PerfmonLoadChoice::CountersPerfMon_Click() {
  const QListWidgetItem* counter = CountersPerfMon->currentItem();
  const std::string index = ObjectIndexOf(BytesFromText(KeyPerfMon->currentText()));
  if (counter == nullptr || index.empty()) return;
  ReplaceItems(InstancePerfMon, PickCounter(index, BytesFromText(counter->text())));
}

void PerfmonLoadChoice::InstancePerfMon_Click() {
  const QListWidgetItem* counter = CountersPerfMon->currentItem();
  const QListWidgetItem* instance = InstancePerfMon->currentItem();
  if (counter == nullptr || instance == nullptr) return;
  const common::CounterValue value =
      common::GetCounterValue(ObjectIndexOf(BytesFromText(KeyPerfMon->currentText())),
                              BytesFromText(counter->text()), BytesFromText(instance->text()));
  PfMonVal->setText(value.Value ? TextFromBytes(common::NumberText(*value.Value)) : QString());
}

QString PerfmonLoadChoice::Choice() const {
  const QListWidgetItem* counter = CountersPerfMon->currentItem();
  const QListWidgetItem* instance = InstancePerfMon->currentItem();
  return TextFromBytes(ObjectIndexOf(BytesFromText(KeyPerfMon->currentText()))) + QLatin1Char('|') +
         (counter != nullptr ? counter->text() : QString()) + QLatin1Char('|') +
         (instance != nullptr ? instance->text() : QString());
}

void PerfmonLoadChoice::SendPf1_Click() {
  editor_->Performancemon1_c->setText(Choice());
}

void PerfmonLoadChoice::SendPf2_Click() {
  editor_->Performancemon2_c->setText(Choice());
}

void PerfmonLoadChoice::ExitMenu_Click() {
  hide();
}

}  // namespace client
