#include "client/ConfigF.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>

#include "client/PerfChoice.h"
#include "client/PerfmonLoadChoice.h"
#include "client/ClientWidgets.h"
#include "common/AgentConfig.h"
#include "common/ProgramFolder.h"

namespace client {
namespace {

constexpr const char* kConfigFileName = "TarvoAgent.cfg";

}  // namespace

ConfigF::ConfigF(QWidget* parent) : QMainWindow(parent) {
  setWindowTitle(QStringLiteral("Config"));
  ExitMenu = Named<QAction>("ExitMenu", QStringLiteral("Exit"), menuBar());
  menuBar()->addAction(ExitMenu);

  auto* area = new QWidget(this);
  setCentralWidget(area);
  auto* grid = new QGridLayout(area);
  QFont courier(QStringLiteral("Courier New"));
  courier.setStyleHint(QFont::Monospace);
  courier.setFixedPitch(true);

  int row = 0;
  const auto add_row = [&](QWidget* control, const char* caption) {
    grid->addWidget(new QLabel(QString::fromLatin1(caption), area), row, 0);
    grid->addWidget(control, row, 1);
    ++row;
  };
  const auto text_box = [&](QLineEdit*& box, const char* name, const char* caption) {
    box = Named<QLineEdit>(name, area);
    box->setFont(courier);
    add_row(box, caption);
  };
  const auto interface_box = [&](QComboBox*& box, const char* name, const char* caption) {
    box = Named<QComboBox>(name, area);
    box->setEditable(true);  // a drop-down list with free text
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setFont(courier);
    add_row(box, caption);
  };
  const auto check_box = [&](QCheckBox*& box, const char* name, const char* caption) {
    box = Named<QCheckBox>(name, QString::fromLatin1(caption), area);
    grid->addWidget(box, row++, 1);
  };
  text_box(Listen_c, "Listen_c", "Listen");
  text_box(TarvoServer_c, "TarvoServer_c", "Tarvo Server");
  text_box(Port_c, "Port_c", "Port");
  interface_box(Interface1_c, "Interface1_c", "NetInterface1");
  interface_box(Interface2_c, "Interface2_c", "NetInterface2");
  text_box(Command1_c, "Command1_c", "Command1_c");
  text_box(Command2_c, "Command2_c", "Command2_c");
  text_box(loglevel_c, "loglevel_c", "LogLevel");
  text_box(Performancemon1_c, "Performancemon1_c", "Performancemon1");
  text_box(Performancemon2_c, "Performancemon2_c", "Performancemon2");
  pf1 = Named<QPushButton>("pf1", QStringLiteral("Command2"), area);
  grid->addWidget(pf1, row - 2, 2, 2, 1);
  text_box(RemoteClients, "RemoteClients", "Remote Clients");
  check_box(NetMon_c, "NetMon_c", "NETMON");
  check_box(AllowRemoteExec_c, "AllowRemoteExec_c", "Allow Remote Exec");
  check_box(RRDTOOLBOL_c, "RRDTOOLBOL_c", "RRDTOOL");
  Command1 = Named<QPushButton>("Command1", QStringLiteral("Salvar"), area);
  grid->addWidget(Command1, row, 1, Qt::AlignRight);
  grid->setColumnMinimumWidth(1, TwipsToPixels(6000));

  connect(ExitMenu, &QAction::triggered, this, &ConfigF::ExitMenu_Click);
  connect(Command1, &QPushButton::clicked, this, &ConfigF::Command1_Click);
  connect(pf1, &QPushButton::clicked, this, &ConfigF::pf1_Click);

  Form_Load();
}

void ConfigF::Form_Load() {
  LoadEditorPerfData();
  const std::vector<std::string> interfaces = ListPieces(ListNetworkInterfaces());
  Interface1_c->clear();
  Interface2_c->clear();
  for (const std::string& name : interfaces) {
    Interface1_c->addItem(TextFromBytes(name));
    Interface2_c->addItem(TextFromBytes(name));
  }
  const ConfigEdits edits = EditsOf(common::TheAgentConfig());
  Listen_c->setText(TextFromBytes(edits.Listen));
  TarvoServer_c->setText(TextFromBytes(edits.TarvoServer));
  Port_c->setText(TextFromBytes(edits.Port));
  Interface1_c->setEditText(TextFromBytes(edits.Interface1));
  Interface2_c->setEditText(TextFromBytes(edits.Interface2));
  Command1_c->setText(TextFromBytes(edits.Command1));
  Command2_c->setText(TextFromBytes(edits.Command2));
  loglevel_c->setText(TextFromBytes(edits.LogLevel));
  Performancemon1_c->setText(TextFromBytes(edits.Performancemon1));
  Performancemon2_c->setText(TextFromBytes(edits.Performancemon2));
  RemoteClients->setText(TextFromBytes(edits.RemoteClients));
  if (edits.NetMon) NetMon_c->setChecked(true);
  if (edits.AllowRemoteExec) AllowRemoteExec_c->setChecked(true);
  if (edits.RrdTool) RRDTOOLBOL_c->setChecked(true);
}

ConfigEdits ConfigF::Edits() const {
  ConfigEdits edits;
  edits.Listen = BytesFromText(Listen_c->text());
  edits.TarvoServer = BytesFromText(TarvoServer_c->text());
  edits.Port = BytesFromText(Port_c->text());
  edits.Interface1 = BytesFromText(Interface1_c->currentText());
  edits.Interface2 = BytesFromText(Interface2_c->currentText());
  edits.Command1 = BytesFromText(Command1_c->text());
  edits.Command2 = BytesFromText(Command2_c->text());
  edits.LogLevel = BytesFromText(loglevel_c->text());
  edits.Performancemon1 = BytesFromText(Performancemon1_c->text());
  edits.Performancemon2 = BytesFromText(Performancemon2_c->text());
  edits.RemoteClients = BytesFromText(RemoteClients->text());
  edits.NetMon = NetMon_c->isChecked();
  edits.AllowRemoteExec = AllowRemoteExec_c->isChecked();
  edits.RrdTool = RRDTOOLBOL_c->isChecked();
  return edits;
}

void ConfigF::Command1_Click() {
  const std::optional<std::string> error =
      SaveConfigFile(Edits(), common::TheAgentConfig(), common::ProgramPath(kConfigFileName));
  if (error) ShowMessage(this, TextFromBytes(*error));
}

void ConfigF::pf1_Click() {
  if (chooser_ == nullptr) chooser_ = new PerfmonLoadChoice(this);
  chooser_->show();
  chooser_->raise();
}

void ConfigF::ExitMenu_Click() {
  hide();
}

}  // namespace client
