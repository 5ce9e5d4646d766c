// The Qt dialog driven as a user drives it: type into its fields, click its
// buttons, and check what it shows and which processes it asks for. Runs on
// the offscreen platform (QT_QPA_PLATFORM=offscreen on the test entry).
#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <string>
#include <vector>

#include "app/dialog_model.h"
#include "app/gui/qt_platform.h"
#include "util/crt_random.h"

namespace {

struct RunCall {
  std::string par_file;
  int first = 0;
  int last = 0;
};

// The real window, with processes, waits and the file chooser recorded
// instead of performed.
class RecordingQtPlatform : public qae::gui::QtPlatform {
 public:
  bool StartProcess(const std::string& executable, const std::string& argument,
                    qae::StartedProcess* started, std::string* error) override {
    if (fail_launch) {
      *error = "No such file or directory";
      return false;
    }
    executables.push_back(executable);
    arguments.push_back(argument);
    started->pid = 1000 + static_cast<long>(arguments.size());
    return true;
  }
  void Wait(int ms) override { waits.push_back(ms); }
  std::string ChooseFile(const std::string& title, const std::string& filter) override {
    chooser_titles.push_back(title + " " + filter);
    return chosen;
  }
  bool OpenDocument(const std::string& path, std::string* /*error*/) override {
    opened.push_back(path);
    return true;
  }

  bool fail_launch = false;
  std::string chosen;
  std::vector<std::string> executables;
  std::vector<std::string> arguments;
  std::vector<int> waits;
  std::vector<std::string> chooser_titles;
  std::vector<std::string> opened;
};

QString StatusOf(const qae::gui::MainDialogWindow* w) { return w->statusEdit->toPlainText(); }

}  // namespace

class QtDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { qae::ResetCrtRandForTesting(); }

  void ShowsTheControlsTextsAndInitialValues() {
    RecordingQtPlatform platform;
    qae::CQuorvex_AEDlg dialog(platform);
    platform.Show(dialog);
    const auto* w = platform.window();
    QCOMPARE(w->windowTitle(), QString("Quorvex_AE"));
    QCOMPARE(w->inputFileButton->text(), QString("Input file..."));
    QCOMPARE(w->goButton->text(), QString("Go"));
    QCOMPARE(w->autoCloseCheck->text(), QString("Auto close"));
    QVERIFY(w->parFileEdit->isReadOnly());
    QVERIFY(w->statusEdit->isReadOnly());
    QCOMPARE(w->aeRangeEdit->text(), QString("0,2500,+=250"));
    QVERIFY(!w->autoCloseCheck->isChecked());
    QCOMPARE(StatusOf(w),
             QString("\"0,1500,+=500\" for multiple runs or \"0,1500,+=0\" for a single run!"));
    QVERIFY(w->goButton->isEnabled());
    QCOMPARE(w->findChild<QWidget*>("idc1052"), static_cast<QWidget*>(w->aeRangeEdit));

    // Near the top right corner, from the generator's first two draws (41
    // and 18467, that is 0 and 56 pixels).
    const QRect screen = w->screen()->geometry();
    QCOMPARE(w->pos().x(), screen.width() - w->width());
    QCOMPARE(w->pos().y(), static_cast<int>(std::floor(56 + 0.05 * screen.height())));

    bool about_found = false;
    for (const QAction* action : w->actions()) {
      about_found = about_found || action->text().contains("About");
    }
    QVERIFY(about_found);
  }

  void GoWithAStepLaunchesOneInstancePerSubRange() {
    RecordingQtPlatform platform;
    qae::CQuorvex_AEDlg dialog(platform);
    platform.Show(dialog);
    auto* w = platform.window();
    w->parFileEdit->setText("/data/exp/ML_CC_AE_pars.txt");
    w->aeRangeEdit->clear();
    QTest::keyClicks(w->aeRangeEdit, "0,1000,+=300");
    QTest::mouseClick(w->goButton, Qt::LeftButton);

    const std::vector<std::string> expected = {
        "/data/exp/ML_CC_AE_pars.txt;0;299;", "/data/exp/ML_CC_AE_pars.txt;300;599;",
        "/data/exp/ML_CC_AE_pars.txt;600;899;", "/data/exp/ML_CC_AE_pars.txt;900;999;"};
    QCOMPARE(platform.arguments, expected);
    QCOMPARE(platform.waits, std::vector<int>(4, 10000));
    QVERIFY(QString::fromStdString(platform.executables[0]).endsWith("/Quorvex_AE"));
    // The status field changes without a refresh: the window shows it only
    // at the next one.
    QCOMPARE(QString::fromStdString(dialog.status), QString("Lunch new runs..."));
    QVERIFY(StatusOf(w).startsWith("\"0,1500,+=500\""));
  }

  void GoWithoutAStepRunsHereAndShowsEnded() {
    RecordingQtPlatform platform;
    qae::CQuorvex_AEDlg dialog(platform);
    std::vector<RunCall> runs;
    dialog.SetRunRange([&runs](const std::string& par, int first, int last) {
      runs.push_back({par, first, last});
      qae::RunRangeResult result;
      result.parametersRead = true;
      return result;
    });
    platform.Show(dialog);
    auto* w = platform.window();
    w->parFileEdit->setText("/p/ML_CC_AE_pars.txt");
    w->aeRangeEdit->clear();
    QTest::keyClicks(w->aeRangeEdit, "0,1500,+=0");
    QTest::mouseClick(w->goButton, Qt::LeftButton);
    QCOMPARE(runs.size(), std::size_t{1});
    QCOMPARE(runs[0].first, 0);
    QCOMPARE(runs[0].last, 1500);
    QCOMPARE(StatusOf(w), QString("Ended!"));
    QVERIFY(platform.arguments.empty());
    QVERIFY(QApplication::overrideCursor() == nullptr);
  }

  void GoWithAnUnreadableRangeShowsTheGuidance() {
    RecordingQtPlatform platform;
    qae::CQuorvex_AEDlg dialog(platform);
    bool ran = false;
    dialog.SetRunRange([&ran](const std::string&, int, int) {
      ran = true;
      return qae::RunRangeResult{};
    });
    platform.Show(dialog);
    auto* w = platform.window();
    w->parFileEdit->setText("/p/pars.txt");
    w->aeRangeEdit->clear();
    QTest::keyClicks(w->aeRangeEdit, "from 0 to 1500");
    QTest::mouseClick(w->goButton, Qt::LeftButton);
    QVERIFY(!ran);
    QVERIFY(platform.arguments.empty());
    QCOMPARE(StatusOf(w), QString("Give AE numbers as \"0,1500,+=500\" for multiple runs or "
                                  "\"0,1500,+=0\" for a single run in the text box!"));
  }

  void AFailedLaunchIsShownInTheStatus() {
    RecordingQtPlatform platform;
    platform.fail_launch = true;
    qae::CQuorvex_AEDlg dialog(platform);
    platform.Show(dialog);
    auto* w = platform.window();
    w->parFileEdit->setText("/p/pars.txt");
    QTest::mouseClick(w->goButton, Qt::LeftButton);  // 0,2500,+=250
    QVERIFY(StatusOf(w).startsWith("Lunch new runs...\nCould not start instance 1 of 10"));
    QVERIFY(StatusOf(w).contains("No such file or directory"));
    QVERIFY(platform.waits.empty());
  }

  void InputFileFillsTheFieldsAndOpensTheFile() {
    RecordingQtPlatform platform;
    platform.chosen = "/home/u/exp/ML_CC_AE_pars.txt";
    qae::CQuorvex_AEDlg dialog(platform);
    platform.Show(dialog);
    auto* w = platform.window();
    QTest::mouseClick(w->inputFileButton, Qt::LeftButton);
    QCOMPARE(platform.chooser_titles,
             std::vector<std::string>{"Select the *ML_CC_AE_pars.txt file. (*.txt)|*.txt||"});
    QCOMPARE(w->parFileEdit->text(), QString("/home/u/exp/ML_CC_AE_pars.txt"));
    QCOMPARE(w->aeRangeEdit->text(), QString("0,100,+=0"));
    QCOMPARE(platform.opened, std::vector<std::string>{"/home/u/exp/ML_CC_AE_pars.txt"});
  }

  void ALaunchedInstanceRunsAfterOneSecondAndClosesItself() {
    RecordingQtPlatform platform;
    qae::CQuorvex_AEApp app(platform);
    std::vector<RunCall> runs;
    bool controls_disabled = false;
    QString status_during_run;
    app.SetRunRange([&](const std::string& par, int first, int last) {
      runs.push_back({par, first, last});
      const auto* w = platform.window();
      controls_disabled = !w->goButton->isEnabled() && !w->inputFileButton->isEnabled() &&
                          !w->aeRangeEdit->isEnabled() && w->autoCloseCheck->isEnabled() &&
                          w->autoCloseCheck->isChecked();
      status_during_run = StatusOf(w);
      qae::RunRangeResult result;
      result.parametersRead = true;
      return result;
    });
    QElapsedTimer clock;
    clock.start();
    const int exit_code = app.InitInstance("/a path/with spaces/ML_CC_AE_pars.txt;500;999;");
    QCOMPARE(exit_code, 0);
    QVERIFY(clock.elapsed() >= 900);
    QCOMPARE(runs.size(), std::size_t{1});
    QCOMPARE(QString::fromStdString(runs[0].par_file),
             QString("/a path/with spaces/ML_CC_AE_pars.txt"));
    QCOMPARE(runs[0].first, 500);
    QCOMPARE(runs[0].last, 999);
    QVERIFY(controls_disabled);
    QCOMPARE(status_during_run, QString("In calculation, taking a few hours to days..."));
    QCOMPARE(platform.window()->aeRangeEdit->text(), QString("500,999;"));
    QCOMPARE(StatusOf(platform.window()), QString("Ended!"));
    QVERIFY(!platform.window()->isVisible());
  }

  void AMalformedLaunchArgumentRunsNothingAndStillCloses() {
    RecordingQtPlatform platform;
    qae::CQuorvex_AEApp app(platform);
    bool ran = false;
    app.SetRunRange([&ran](const std::string&, int, int) {
      ran = true;
      return qae::RunRangeResult{};
    });
    const int exit_code = app.InitInstance("/p/pars.txt;500");
    QCOMPARE(exit_code, 2);
    QVERIFY(!ran);
    QVERIFY(StatusOf(platform.window()).startsWith("Malformed command line"));
    QVERIFY(!platform.window()->isVisible());
  }
};

QTEST_MAIN(QtDialogTest)
#include "qt_dialog_test.moc"
