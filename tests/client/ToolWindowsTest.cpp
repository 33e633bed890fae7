// The task viewer, the configuration editor and the counter chooser as the
// person at the machine uses them, offscreen, over a temporary program folder,
// real /proc and the real performance data.

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include "client/ConfigF.h"
#include "client/Form1.h"
#include "client/PerfChoice.h"
#include "client/PerfmonLoadChoice.h"
#include "client/TaskDetail.h"
#include "client/TaskView.h"
#include "client/ClientWidgets.h"
#include "common/AgentConfig.h"
#include "tests/client/ToolTestSupport.h"
#include "tests/support/Processes.h"
#include "tests/support/TempFolder.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace client {
namespace {

using testsupport::ReadAll;
using testsupport::WriteAll;

class ToolWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    common::TheAgentConfig() = common::AgentConfig{};
    common::LoadAgentConfig();
    SetMessageSink([this](const QString& text) { messages_.push_back(text); });
  }
  void TearDown() override { SetMessageSink({}); }

  template <typename T>
  static T* Find(QObject* window, const char* name) {
    T* control = window->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
  }

  static QStringList Column(QTreeWidget* list, int column) {
    QStringList texts;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
      texts << list->topLevelItem(row)->text(column);
    }
    return texts;
  }

  static void Select(QListWidget* list, const QString& text) {
    const QList<QListWidgetItem*> found = list->findItems(text, Qt::MatchExactly);
    ASSERT_FALSE(found.isEmpty()) << text.toStdString();
    list->setCurrentItem(found.front());
  }

  clienttest::ProgramFolder home_;
  std::vector<QString> messages_;
};

TEST_F(ToolWindowsTest, TaskViewListsSortsAndShowsTheRecords) {
  clienttest::SleepingChild child;
  const QString running = QString::number(child.pid()) + QStringLiteral("_RUN.BUF");
  WriteAll(home_.Path("Tasks/Done/A.BUF"),
           clienttest::Record("DONE", "HELLO.SH A,B", "O", "OK", "1", "Esta Funcionando"));
  WriteAll(home_.Path("Tasks/Done/B.BUF"), clienttest::Record("OTHER", "X", "B", "FAIL", "0", ""));
  WriteAll(home_.Path("Tasks/Queue/" + running.toStdString()),
           clienttest::Record("RUN", "SLEEP.SH", "O", "", "", ""));

  TaskView view;
  QTreeWidget* list = Find<QTreeWidget>(&view, "ListView1");
  EXPECT_EQ(view.windowTitle(), "Tasks Viewer");
  ASSERT_EQ(list->columnCount(), 9);
  EXPECT_EQ(list->headerItem()->text(1), "Status");
  // Sorted by file name at first.
  EXPECT_EQ(Column(list, 0), (QStringList{running, "A.BUF", "B.BUF"}));
  EXPECT_EQ(Column(list, 1), (QStringList{"RUNNING", "OK", "FAIL"}));
  EXPECT_EQ(Column(list, 3)[1], "HELLO.SH A");  // cut at the comma
  EXPECT_EQ(Column(list, 6), (QStringList{"OnLine", "OnLine", "Batch"}));

  child.Stop();
  Find<QAction>(&view, "menurefresh")->trigger();
  EXPECT_EQ(Column(list, 1), (QStringList{"FAIL", "OK", "FAIL"}));

  view.ListView1_ColumnClick(1);
  EXPECT_EQ(Column(list, 1), (QStringList{"FAIL", "FAIL", "OK"}));
  view.ListView1_ColumnClick(1);
  EXPECT_EQ(Column(list, 1), (QStringList{"OK", "FAIL", "FAIL"}));

  QTreeWidgetItem* done = list->topLevelItem(0);
  ASSERT_EQ(done->text(0), "A.BUF");
  list->setCurrentItem(done);
  view.ListView1_ItemClick(done);
  TaskDetail* detail = view.Detail();
  ASSERT_TRUE(detail->isVisible());
  EXPECT_TRUE(detail->isModal());
  EXPECT_EQ(Find<QLineEdit>(detail, "taskfile")->text(), "A.BUF");
  EXPECT_EQ(Find<QLineEdit>(detail, "critica")->text(), "Saida do script deve conter string");
  EXPECT_EQ(Find<QLineEdit>(detail, "execmode")->text(), "OnLine");
  EXPECT_EQ(Find<QPlainTextEdit>(detail, "output")->toPlainText(), "\nEsta Funcionando");
  Find<QAction>(detail, "menuclose")->trigger();
  EXPECT_FALSE(detail->isVisible());
}

TEST_F(ToolWindowsTest, ConfigEditorOffersTheInterfacesAndRefusesAPortThatIsNotANumber) {
  ConfigF editor;
  QComboBox* interfaces = Find<QComboBox>(&editor, "Interface1_c");
  EXPECT_NE(interfaces->findText(QStringLiteral("lo#0")), -1);
  EXPECT_EQ(Find<QLineEdit>(&editor, "Port_c")->text(), "9000");
  EXPECT_TRUE(Find<QCheckBox>(&editor, "RRDTOOLBOL_c")->isChecked());
  EXPECT_EQ(Find<QPushButton>(&editor, "Command1")->text(), "Salvar");

  const std::string path = home_.Path("TarvoAgent.cfg");
  const std::string before = ReadAll(path);
  Find<QLineEdit>(&editor, "Port_c")->setText(QStringLiteral("abc"));
  editor.Command1_Click();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_TRUE(messages_[0].contains(QStringLiteral("Port")));
  EXPECT_EQ(ReadAll(path), before);

  Find<QLineEdit>(&editor, "Port_c")->setText(QStringLiteral("9000.5"));
  Find<QLineEdit>(&editor, "TarvoServer_c")->setText(QStringLiteral("127.0.0.1:8081"));
  editor.Command1_Click();
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_NE(ReadAll(path).find("\r\nPORT=9000\r\nRRDTOOL=True\r\n"), std::string::npos);
  EXPECT_EQ(common::TheAgentConfig().CentralServer, "127.0.0.1:8081");
}

TEST_F(ToolWindowsTest, ChooserBrowsesTheLiveDataAndSendsTheChoiceToTheEditor) {
  PerfObjectList().clear();
  ConfigF editor;
  editor.pf1_Click();
  PerfmonLoadChoice* chooser = editor.Chooser();
  ASSERT_NE(chooser, nullptr);
  QComboBox* objects = Find<QComboBox>(chooser, "KeyPerfMon");
  EXPECT_TRUE(chooser->Loading());
  EXPECT_EQ(objects->currentText(), " Wait - Loading Perf Data ! ");
  EXPECT_FALSE(objects->isEnabled());
  // The scan runs in steps between the window's events.
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    QCoreApplication::processEvents();
    return !chooser->Loading();
  }));
  EXPECT_TRUE(objects->isEnabled());

  const int processor = objects->findText(QStringLiteral("Processor      | 238"));
  ASSERT_NE(processor, -1);
  objects->setCurrentIndex(processor);
  chooser->KeyPerfMon_Validate();
  Select(Find<QListWidget>(chooser, "CountersPerfMon"), QStringLiteral("% Processor Time"));
  QListWidget* instances = Find<QListWidget>(chooser, "InstancePerfMon");
  Select(instances, QStringLiteral("_Total#0"));
  const QString total = Find<QLineEdit>(chooser, "PfMonVal")->text();
  Select(instances, QStringLiteral("0#0"));
  const QString first = Find<QLineEdit>(chooser, "PfMonVal")->text();
  EXPECT_FALSE(first.isEmpty());
  EXPECT_NE(first, total);

  Find<QPushButton>(chooser, "SendPf1")->click();
  EXPECT_EQ(Find<QLineEdit>(&editor, "Performancemon1_c")->text(), "238|% Processor Time|0#0");

  // Exit only hides; a new chooser takes the cached list without a scan.
  Find<QAction>(chooser, "ExitMenu")->trigger();
  EXPECT_FALSE(chooser->isVisible());
  editor.pf1_Click();
  EXPECT_EQ(editor.Chooser(), chooser);
  ASSERT_NE(instances->currentItem(), nullptr);
  EXPECT_EQ(instances->currentItem()->text(), "0#0");
  PerfmonLoadChoice fresh(&editor);
  EXPECT_FALSE(fresh.Loading());
  EXPECT_EQ(Find<QComboBox>(&fresh, "KeyPerfMon")->count(), objects->count());
}

TEST_F(ToolWindowsTest, TheMainMenuOpensEachToolWindowOnceAndShowsItAgain) {
  common::TheAgentConfig().Port = 1;  // no agent is asked
  Form1 form;
  form.TaskMenu_Click();
  TaskView* view = form.findChild<TaskView*>();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->isVisible());
  Find<QAction>(view, "menuclose")->trigger();
  EXPECT_FALSE(view->isVisible());
  form.TaskMenu_Click();
  EXPECT_TRUE(view->isVisible());
  EXPECT_EQ(form.findChildren<TaskView*>().size(), 1);

  form.Config_Click();
  form.Config_Click();
  EXPECT_EQ(form.findChildren<ConfigF*>().size(), 1);
  EXPECT_TRUE(form.findChild<ConfigF*>()->isVisible());
}

}  // namespace
}  // namespace client
