// The login window: checks, the login request, remembering the account.
#include "login/form1.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QKeyEvent>
#include <QPixmap>
#include <cstdio>
#include <future>

#include "app/confirm_exit.h"
#include "app/look.h"
#include "app/request_window.h"
#include "login/credentials_file.h"
#include "login/credentials_save.h"
#include "platform/messages.h"
#include "platform/widgets.h"
#include "service/protocol.h"
#include "ui_form1.h"

namespace velmoth {
namespace {

// The banner for a screen of the given density: the plain picture, or on a high-density screen
// the double-size one, which keeps it sharp (scaled smoothly for densities in between). Makes
// no pixmap, so it can run on a worker thread.
QImage banner_image(qreal density) {
  const bool doubled = density > 1;
  QImage picture = program_image(doubled ? QStringLiteral(":/velmoth/banner@2x.png")
                                         : QStringLiteral(":/velmoth/banner.png"));
  const QSize pixels = (QSizeF(picture.size()) / (doubled ? 2 : 1) * density).toSize();
  if (picture.size() != pixels)
    picture = picture.scaled(pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  picture.setDevicePixelRatio(density);
  return picture;
}

}  // namespace

Form1::Form1(const WindowContext &context, QWidget *parent)
    : QWidget(parent),
      context_(context),
      ui(std::make_unique<Ui::Form1>()),
      WebBrowser1(*context.network, context.page_helper, this) {
  // The banner is decoded on a worker thread while the controls are built (or, where no thread
  // can be started, when it is needed). It is set here only, not also in the form, so that a
  // start decodes it once.
  std::future<QImage> banner =
      std::async(std::launch::async | std::launch::deferred, banner_image, devicePixelRatio());
  ui->setupUi(this);
  ui->Picture->setPixmap(QPixmap::fromImage(banner.get()));
  // The hidden scratch box holds a whole record, not what a user types.
  keep_any_length(*ui->Text4);
  cycle_ = set_up_request_window(
      RequestWindow{this,
                    4815,
                    3360,
                    QStringLiteral("登录窗口"),
                    {ui->Command2, ui->Command1, ui->Text3, &Timer1, &WebBrowser1, &Timeout},
                    {{ui->Label1, ui->Text1}, {ui->Label2, ui->Text2}, {ui->Label3, ui->Check1}},
                    {ui->Text2},
                    {ui->Picture, ui->Shape1, ui->Shape2, ui->Text4},
                    ui->Label4,
                    QColor(0, 0, 255),
                    &WebHome},
      RequestCycle::Texts{QStringLiteral("登录(&L)"), QStringLiteral("正在登录..."),
                          QStringLiteral("正在登录...("), QStringLiteral("登录超时，请检查网络！")},
      std::vector<RequestCycle::KnownReply>{{QStringLiteral("0"), [this] { login_refused(); }},
                                            {QStringLiteral("1"), [this] {
                                               cycle_->end_cycle();
                                               emit logged_in();
                                             }}});

  connect(ui->Command2, &QPushButton::clicked, this, [this] {
    login();
    save_credentials();
  });
  connect(ui->Command1, &QPushButton::clicked, this, &Form1::signup_requested);
  connect(ui->Label3, &ClickableLabel::clicked, this, [this] {
    ui->Check1->setCheckState(ui->Check1->checkState() == Qt::Unchecked ? Qt::Checked
                                                                        : Qt::Unchecked);
  });
  // Enter on the check box clicks the default button, as it does in either box.
  ui->Check1->installEventFilter(this);
  // The rectangles around the boxes show which box has the focus.
  ui->Text1->installEventFilter(this);
  ui->Text2->installEventFilter(this);
}

Form1::~Form1() = default;

void Form1::load() {
  WebHome = context_.home_url;
  WebURL = context_.service_url;
  MainColor = main_color_text();
  setWindowTitle(QString::fromUtf8(kWindowTitle));
  centre_on_screen(*this);
  show();
  ui->Text1->setFocus();
  apply_background(*this, MainColor);
  apply_background(*ui->Frame1, MainColor);
  apply_background(*ui->Check1, MainColor);
  WebBrowser1.Navigate(WebURL);
  Timeout = 0;
  load_credentials();
}

void Form1::login() {
  if (ui->Text1->text().isEmpty()) {
    messages::warning(this, QStringLiteral("请输入帐号"));
    ui->Text1->setFocus();
    return;
  }
  if (ui->Text2->text().isEmpty()) {
    messages::warning(this, QStringLiteral("请输入密码"));
    ui->Text2->setFocus();
    return;
  }
  cycle_->start_request(
      login_address(WebURL, ui->Text1->text(), ui->Text2->text(), QDateTime::currentDateTime()));
}

void Form1::login_refused() {
  messages::warning(this, QStringLiteral("登录失败，请确认帐号及密码正确！"));
  ui->Text1->clear();
  ui->Text2->clear();
  ui->Text1->setFocus();
  cycle_->end_cycle();
}

void Form1::save_credentials() {
  const bool remember = ui->Check1->checkState() == Qt::Checked;
  const QString record = format_credentials(remember, ui->Text1->text(), ui->Text2->text());
  // Not being able to remember the account must not stop the login.
  if (const auto failure = write_credentials(context_.credentials_path, record)) {
    std::fprintf(stderr, "velmoth: could not remember the account in %s: %s\n",
                 qUtf8Printable(context_.credentials_path), qUtf8Printable(*failure));
  }
}

void Form1::load_credentials() {
  // A save killed half-way leaves its temporary behind, possibly with a password the user has
  // since withdrawn.
  remove_stale_saves(context_.credentials_path);
  const auto text = read_credentials_text(context_.credentials_path);
  if (!text) return;
  // The text passes through the hidden scratch box, as every remembered record always has.
  ui->Text4->setText(*text);
  const StoredCredentials stored = parse_credentials(ui->Text4->text());
  if (!stored.check_remember) return;
  ui->Check1->setCheckState(Qt::Checked);
  if (stored.account) ui->Text1->setText(*stored.account);
  if (stored.password) ui->Text2->setText(*stored.password);
  if (ui->Text2->text().isEmpty())
    ui->Text2->setFocus();
  else
    ui->Text1->setFocus();
}

void Form1::closeEvent(QCloseEvent *event) {
  if (confirm_exit(*this, *event)) emit exit_confirmed();
}

bool Form1::eventFilter(QObject *watched, QEvent *event) {
  const auto type = event->type();
  if (type == QEvent::FocusIn || type == QEvent::FocusOut) {
    const QColor border = type == QEvent::FocusIn ? kFocusBlack : kFocusGrey;
    if (watched == ui->Text1) ui->Shape1->set_border_color(border);
    if (watched == ui->Text2) ui->Shape2->set_border_color(border);
  } else if (watched == ui->Check1 && type == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent *>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      ui->Command2->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velmoth
