// The main window: its option panel and the account page loaded behind it.
#include "mainwin/form3.h"

#include <QCloseEvent>

#include "app/confirm_exit.h"
#include "app/look.h"
#include "platform/accessibility.h"
#include "service/protocol.h"
#include "ui_form3.h"

namespace velmoth {

Form3::Form3(const WindowContext &context, QWidget *parent)
    : QWidget(parent),
      WebBrowser1(*context.network, context.page_helper, this),
      context_(context),
      ui(std::make_unique<Ui::Form3>()) {
  ui->setupUi(this);
  WebBrowser1.setObjectName(QStringLiteral("WebBrowser1"));
  Check11 = {ui->Check11_0, ui->Check11_1, ui->Check11_2,
             ui->Check11_3, ui->Check11_4, ui->Check11_5};
  apply_common_look(*this, 6975, 4560);
  // The boxes and scroll bars of the panel are named after the captions beside them.
  accessibility::name(*ui->Text1, ui->Check1->text());
  accessibility::caption(*ui->Label1, *ui->Text2);
  accessibility::name(*ui->HScroll1, ui->Check3->text());
  accessibility::name(*ui->HScroll2, ui->Check4->text());
}

Form3::~Form3() = default;

void Form3::load() {
  WebHome = context_.home_url;
  WebURL = context_.service_url;
  MainColor = main_color_text();

  setWindowTitle(QString::fromUtf8(kWindowTitle));
  centre_on_screen(*this);
  show();

  apply_background(*this, MainColor);
  apply_background(*ui->SSTab1, MainColor);

  WebBrowser1.Navigate(account_address(WebURL));
}

void Form3::closeEvent(QCloseEvent *event) {
  if (confirm_exit(*this, *event)) emit exit_confirmed();
}

}  // namespace velmoth
