// The sign-up window: seven input checks and the sign-up request.
#include "signup/form2.h"

#include <QCloseEvent>
#include <QDateTime>

#include "app/look.h"
#include "app/request_window.h"
#include "platform/messages.h"
#include "service/protocol.h"
#include "ui_form2.h"

namespace velmoth {

Form2::Form2(const WindowContext &context, QWidget *parent)
    : QWidget(parent),
      context_(context),
      ui(std::make_unique<Ui::Form2>()),
      WebBrowser1(*context.network, context.page_helper, this) {
  ui->setupUi(this);
  setAttribute(Qt::WA_DeleteOnClose);
  const auto warn_then = [this](const QString &message, auto &&then) {
    return [this, message, then] {
      messages::warning(this, message);
      then();
    };
  };
  cycle_ = set_up_request_window(
      RequestWindow{this,
                    4215,
                    4560,
                    QStringLiteral("注册窗口"),
                    {ui->Command2, ui->Command1, ui->Text7, &Timer1, &WebBrowser1, &Timeout},
                    {{ui->Label1, ui->Text1},
                     {ui->Label2, ui->Text2},
                     {ui->Label3, ui->Text3},
                     {ui->Label4, ui->Text4},
                     {ui->Label5, ui->Text5},
                     {ui->Label6, ui->Text6}},
                    {ui->Text2, ui->Text3},
                    {ui->Shape1, ui->Shape2, ui->Shape3, ui->Shape4, ui->Shape5, ui->Shape6},
                    ui->Label7,
                    QColor(255, 0, 0),
                    &WebHome},
      RequestCycle::Texts{QStringLiteral("注册(&R)"), QStringLiteral("注册中..."),
                          QStringLiteral("注册中...("), QStringLiteral("注册超时，请检查网络！")},
      {{QStringLiteral("0"), warn_then(QStringLiteral("注册失败，请确认所有信息填写正确！"),
                                       [this] { cycle_->end_cycle(); })},
       {QStringLiteral("1"), warn_then(QStringLiteral("注册失败，用户名已存在！"),
                                       [this] {
                                         ui->Text1->clear();
                                         ui->Text1->setFocus();
                                         cycle_->end_cycle();
                                       })},
       {QStringLiteral("2"), warn_then(QStringLiteral("冲值卡信息错误或已失效！"),
                                       [this] {
                                         ui->Text5->setFocus();
                                         cycle_->end_cycle();
                                       })},
       {QStringLiteral("3"), warn_then(QStringLiteral("注册成功，点击确认登陆！"), [this] {
          cycle_->end_cycle();
          emit back_to_login();
        })}});

  connect(ui->Command2, &QPushButton::clicked, this, &Form2::reg);
  connect(ui->Command1, &QPushButton::clicked, this, &Form2::back_to_login);
}

Form2::~Form2() = default;

void Form2::load() {
  WebHome = context_.buy_url();
  WebURL = context_.service_url;
  MainColor = main_color_text();
  setWindowTitle(QString::fromUtf8(kWindowTitle));
  centre_on_screen(*this);
  show();
  ui->Text1->setFocus();
  apply_background(*this, MainColor);
  apply_background(*ui->Frame1, MainColor);
  WebBrowser1.Navigate(WebURL);
}

void Form2::reg() {
  const struct {
    QLineEdit *box;
    const char16_t *message;
  } required[] = {
      {ui->Text1, u"请输入帐号名"},     {ui->Text2, u"请输入密码。"},
      {ui->Text3, u"请输入确认密码。"}, {ui->Text4, u"请输入绑定QQ。"},
      {ui->Text5, u"请输入充值卡号。"}, {ui->Text6, u"请输入充值密码。"},
  };
  for (const auto &field : required) {
    if (field.box->text().isEmpty()) return refuse(QString::fromUtf16(field.message), field.box);
  }
  if (ui->Text2->text() != ui->Text3->text())
    return refuse(QStringLiteral("两次密码输入不一致，请重新输入。"), ui->Text2);

  cycle_->start_request(signup_address(WebURL, ui->Text1->text(), ui->Text2->text(),
                                       ui->Text4->text(), ui->Text5->text(), ui->Text6->text(),
                                       QDateTime::currentDateTime()));
}

void Form2::refuse(const QString &message, QWidget *focus) {
  messages::warning(this, message);
  focus->setFocus();
}

void Form2::closeEvent(QCloseEvent *event) {
  // The window is destroyed: a reply still on its way is never acted on.
  Timer1.stop();
  WebBrowser1.blockSignals(true);
  event->accept();
  emit closed();
}

}  // namespace velmoth
