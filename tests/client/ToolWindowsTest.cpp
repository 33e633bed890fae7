// The task viewer, the configuration editor and the counter chooser as the
// person at the machine uses them, offscreen, over a temporary program folder,
// real /proc and the real performance data.

#include <gtest/gtest.h>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>

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

  // A real left click on the header section of the column.
  static void ClickHeader(QTreeWidget* list, int column) {
    QHeaderView* header = list->header();
    const QPoint at(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
                    header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
  }

  static void ClickRow(QTreeWidget* list, QTreeWidgetItem* item) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
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

  // A click on a header sorts by its column; a second one reverses the order.
  view.show();
  ClickHeader(list, 1);
  EXPECT_EQ(Column(list, 1), (QStringList{"FAIL", "FAIL", "OK"}));
  ClickHeader(list, 1);
  EXPECT_EQ(Column(list, 1), (QStringList{"OK", "FAIL", "FAIL"}));
  // A refresh keeps the order and the headers clickable.
  Find<QAction>(&view, "menurefresh")->trigger();
  EXPECT_EQ(Column(list, 1), (QStringList{"OK", "FAIL", "FAIL"}));
  ClickHeader(list, 0);  // another column keeps the order's direction
  EXPECT_EQ(Column(list, 0), (QStringList{"B.BUF", "A.BUF", running}));

  QTreeWidgetItem* done = list->topLevelItem(1);
  ASSERT_EQ(done->text(0), "A.BUF");
  ClickRow(list, done);
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

// The detail of a record whose name holds a byte that is no UTF-8, and its own
// refresh after the agent swept the record from the queue to Tasks/Done.
TEST_F(ToolWindowsTest, TaskDetailFindsASingleByteNameAndASweptRecord) {
  clienttest::SleepingChild child;
  const std::string queued = std::to_string(child.pid()) + "_R\xC9SUM\xC9.BUF";
  WriteAll(home_.Path("Tasks/Queue/" + queued),
           clienttest::Record("R\xC9SUM\xC9", "X", "O", "", "", ""));

  TaskView view;
  view.show();
  QTreeWidget* list = Find<QTreeWidget>(&view, "ListView1");
  ASSERT_EQ(list->topLevelItemCount(), 1);
  QTreeWidgetItem* item = list->topLevelItem(0);
  EXPECT_EQ(item->text(0), QString::number(child.pid()) + QString::fromUtf8("_RÉSUMÉ.BUF"));
  ClickRow(list, item);
  TaskDetail* detail = view.Detail();
  ASSERT_TRUE(detail->isVisible());
  EXPECT_EQ(Find<QLineEdit>(detail, "taskname")->text(), QString::fromUtf8("RÉSUMÉ"));
  EXPECT_EQ(Find<QLineEdit>(detail, "status")->text(), "");

  WriteAll(home_.Path("Tasks/Done/" + queued),
           clienttest::Record("R\xC9SUM\xC9", "X", "O", "OK", "0", "done"));
  std::filesystem::remove(home_.Path("Tasks/Queue/" + queued));
  Find<QAction>(detail, "menuRefresh")->trigger();
  EXPECT_EQ(Find<QLineEdit>(detail, "status")->text(), "OK");
  EXPECT_EQ(Find<QPlainTextEdit>(detail, "output")->toPlainText(), "\ndone");
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
  // Only the server changed: the port was 9000 already.
  std::string expected = before;
  expected.replace(expected.find("TARVOSERVER="), 12, "TARVOSERVER=127.0.0.1:8081");
  EXPECT_EQ(ReadAll(path), expected);
  EXPECT_EQ(common::TheAgentConfig().CentralServer, "127.0.0.1:8081");
}

// The files hold single-byte text: what the editor shows and saves back of a
// byte that is no UTF-8 is that byte.
TEST_F(ToolWindowsTest, ConfigEditorSavesLatin1TextBackByteForByte) {
  const std::string path = home_.Path("TarvoAgent.cfg");
  const std::string file =
      "TARVOSERVER=servi\xE7o.local\r\nPORT=9000\r\nCOMMAND3=grep|\xC9T\xC9|a|b\r\n";
  WriteAll(path, file);
  common::TheAgentConfig() = common::AgentConfig{};
  common::LoadAgentConfig();
  ConfigF editor;
  EXPECT_EQ(Find<QLineEdit>(&editor, "TarvoServer_c")->text(), QString::fromUtf8("serviço.local"));
  editor.Command1_Click();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(ReadAll(path), file);
  EXPECT_EQ(common::TheAgentConfig().CentralServer, "servi\xE7o.local");

  Find<QLineEdit>(&editor, "TarvoServer_c")->setText(QString::fromUtf8("próximo"));
  editor.Command1_Click();
  EXPECT_NE(ReadAll(path).find("TARVOSERVER=pr\xF3ximo\r\n"), std::string::npos);
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
