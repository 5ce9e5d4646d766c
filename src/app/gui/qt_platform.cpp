#include "app/gui/qt_platform.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QGridLayout>
#include <QIcon>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>

#include <cmath>

namespace qae::gui {

namespace {

QString ToQ(const std::string& text) { return QString::fromStdString(text); }

// The window icon: a burst on a trace, drawn rather than shipped.
QIcon ApplicationIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(QColor(0x1f, 0x3a, 0x5f));
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0xf2, 0xc1, 0x4e), 2.0));
  QPainterPath path(QPointF(1, 16));
  for (int i = 1; i <= 31; ++i) {
    const double t = (i - 8) / 4.0;
    const double envelope = t > 0 ? t * t * std::exp(2.0 - t) / 4.0 : 0.0;
    path.lineTo(i, 16 - 13 * envelope * std::sin(2.4 * i));
  }
  painter.drawPath(path);
  return QIcon(pixmap);
}

}  // namespace

MainDialogWindow::MainDialogWindow() {
  setWindowTitle(kDialogTitle);
  setWindowIcon(ApplicationIcon());

  inputFileButton = new QPushButton("Input file...", this);
  parFileEdit = new QLineEdit(this);
  parFileEdit->setReadOnly(true);
  aeRangeEdit = new QLineEdit(this);
  goButton = new QPushButton("Go", this);
  autoCloseCheck = new QCheckBox("Auto close", this);
  statusEdit = new QPlainTextEdit(this);
  statusEdit->setReadOnly(true);

  // Enter in the range field must not press a button: a run lasts days.
  inputFileButton->setAutoDefault(false);
  goButton->setAutoDefault(false);

  const std::pair<QWidget*, int> ids[] = {
      {inputFileButton, kIdInputFile}, {parFileEdit, kIdParFile}, {aeRangeEdit, kIdAeRange},
      {goButton, kIdGo},               {autoCloseCheck, kIdAutoClose}, {statusEdit, kIdStatus}};
  for (const auto& [widget, id] : ids) widget->setObjectName(QString("idc%1").arg(id));

  auto* grid = new QGridLayout(this);
  grid->addWidget(inputFileButton, 0, 0);
  grid->addWidget(parFileEdit, 0, 1, 1, 3);
  grid->addWidget(aeRangeEdit, 1, 0, 1, 2);
  grid->addWidget(goButton, 1, 2);
  grid->addWidget(autoCloseCheck, 1, 3);
  grid->addWidget(statusEdit, 2, 0, 1, 4);
  grid->setColumnStretch(1, 1);
  const int line = statusEdit->fontMetrics().lineSpacing();
  statusEdit->setFixedHeight(4 * line + 12);
  parFileEdit->setMinimumWidth(40 * parFileEdit->fontMetrics().averageCharWidth());
  grid->setSizeConstraint(QLayout::SetFixedSize);

  // The About entry: the window menu belongs to the window manager here, so
  // it sits in the dialog's own context menu (and on F1).
  auto* about = new QAction("&About Quorvex_AE...", this);
  about->setShortcut(QKeySequence::HelpContents);
  connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
  adjustSize();
}

QWidget* MainDialogWindow::Control(int id) const {
  switch (id) {
    case kIdInputFile: return inputFileButton;
    case kIdParFile: return parFileEdit;
    case kIdAeRange: return aeRangeEdit;
    case kIdGo: return goButton;
    case kIdAutoClose: return autoCloseCheck;
    case kIdStatus: return statusEdit;
    default: return nullptr;
  }
}

void MainDialogWindow::ShowAbout() {
  QMessageBox box(this);
  box.setWindowTitle("About Quorvex_AE");
  box.setIconPixmap(windowIcon().pixmap(32, 32));
  box.setText(kAboutText);
  box.exec();
}

QtPlatform::QtPlatform() {
  // A dialog that launched instances keeps collecting the ones that ended.
  QObject::connect(&reaper_, &QTimer::timeout, [this] { ReapFinishedChildren(); });
  reaper_.start(5000);
}

QtPlatform::~QtPlatform() {
  while (wait_cursors_ > 0) EndWaitCursor();
}

void QtPlatform::Show(CQuorvex_AEDlg& dialog) {
  dialog_ = &dialog;
  window_ = std::make_unique<MainDialogWindow>();
  QObject::connect(window_->goButton, &QPushButton::clicked, [this] { dialog_->OnGo(); });
  QObject::connect(window_->inputFileButton, &QPushButton::clicked,
                   [this] { dialog_->OnInputFile(); });
  dialog.OnInitDialog();
  window_->show();
}

int QtPlatform::RunModal(CQuorvex_AEDlg& dialog) {
  Show(dialog);
  const int result = window_->exec();
  dialog.OnDestroy();
  return result;
}

void QtPlatform::EndDialog(int result) {
  if (window_) window_->done(result);
}

void QtPlatform::ReadControls(DialogFields* fields) {
  if (!window_) return;
  fields->parFile = window_->parFileEdit->text().toStdString();
  fields->aeRange = window_->aeRangeEdit->text().toStdString();
  fields->autoClose = window_->autoCloseCheck->isChecked();
  fields->status = window_->statusEdit->toPlainText().toStdString();
}

void QtPlatform::WriteControls(const DialogFields& fields) {
  if (!window_) return;
  window_->parFileEdit->setText(ToQ(fields.parFile));
  window_->aeRangeEdit->setText(ToQ(fields.aeRange));
  window_->autoCloseCheck->setChecked(fields.autoClose);
  window_->statusEdit->setPlainText(ToQ(fields.status));
}

void QtPlatform::EnableControl(int id, bool enabled) {
  if (!window_) return;
  if (QWidget* control = window_->Control(id)) control->setEnabled(enabled);
}

void QtPlatform::Repaint() {
  if (window_ && window_->isVisible()) window_->repaint();
}

void QtPlatform::StartTimer(int id, int period_ms) {
  auto& timer = timers_[id];
  if (!timer) {
    timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [this, id] {
      if (dialog_) dialog_->OnTimer(id);
    });
  }
  timer->start(period_ms);
}

void QtPlatform::StopTimer(int id) {
  // Stopped, not destroyed: this may run inside the timer's own timeout.
  const auto it = timers_.find(id);
  if (it != timers_.end()) it->second->stop();
}

void QtPlatform::BeginWaitCursor() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  ++wait_cursors_;
}

void QtPlatform::EndWaitCursor() {
  if (wait_cursors_ == 0) return;
  QApplication::restoreOverrideCursor();
  --wait_cursors_;
}

int QtPlatform::ScreenWidth() {
  const QScreen* screen = window_ ? window_->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->geometry().width() : 0;
}

int QtPlatform::ScreenHeight() {
  const QScreen* screen = window_ ? window_->screen() : QGuiApplication::primaryScreen();
  return screen ? screen->geometry().height() : 0;
}

int QtPlatform::ClientWidth() { return window_ ? window_->width() : 0; }

void QtPlatform::MoveWindow(int x, int y) {
  if (window_) window_->move(x, y);
}

std::string QtPlatform::ChooseFile(const std::string& title, const std::string& filter) {
  const QString path = QFileDialog::getOpenFileName(window_.get(), ToQ(title), QString(),
                                                    ToQ(ToNameFilter(filter)));
  return path.toStdString();
}

}  // namespace qae::gui
