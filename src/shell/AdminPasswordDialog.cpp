#include "shell/AdminPasswordDialog.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace vh {

namespace {

QLineEdit* ReadOnlyField(const QString& text, QWidget* parent) {
  auto* field = new QLineEdit(text, parent);
  field->setReadOnly(true);
  field->setMinimumWidth(160);
  return field;
}

QLabel* WrappedText(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

// One "Login Information" group: the user name and, below it, the field for its password.
QGroupBox* LoginGroup(const QString& nameLabel, const QString& userName,
                      const QString& passwordLabel, QLineEdit*& passwordField, QWidget* parent) {
  auto* group = new QGroupBox(QStringLiteral("Login Information"), parent);
  auto* form = new QFormLayout(group);
  form->addRow(nameLabel, ReadOnlyField(userName, group));
  passwordField = ReadOnlyField(QString(), group);
  form->addRow(passwordLabel, passwordField);
  return group;
}

}  // namespace

TformDisplayAdminPw::TformDisplayAdminPw(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("formDisplayAdminPw"));
  setWindowTitle(QStringLiteral("New admin password"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setModal(true);

  auto* explanation = new QGroupBox(QStringLiteral("Explanation"), this);
  auto* explanationLayout = new QVBoxLayout(explanation);
  explanationLayout->addWidget(
      WrappedText(QStringLiteral("New passwords were created for the server. This occurs when the "
                                 "Voxhollow server is started for the first time."),
                  explanation));
  explanationLayout->addWidget(WrappedText(
      QStringLiteral("Please save these passwords carefully or better yet, change them as soon "
                     "as possible via the webadmin. This login information is also saved in the "
                     "server.log file."),
      explanation));

  close_ = new QPushButton(QStringLiteral("Close"), this);
  close_->setDefault(true);
  connect(close_, &QPushButton::clicked, this, &QDialog::accept);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(close_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(explanation);
  layout->addWidget(LoginGroup(QStringLiteral("Admin UserName"), QStringLiteral("admin"),
                               QStringLiteral("Admin Password"), adminPassword_, this));
  layout->addWidget(LoginGroup(QStringLiteral("SAdmin UserName"), QStringLiteral("superadmin"),
                               QStringLiteral("SAdmin Password"), superAdminPassword_, this));
  layout->addLayout(buttons);
  // A fixed dialog: it keeps the size its contents ask for.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  setFixedWidth(380);
}

void TformDisplayAdminPw::SetPasswords(const QString& adminPassword,
                                       const QString& superAdminPassword) {
  adminPassword_->setText(adminPassword);
  superAdminPassword_->setText(superAdminPassword);
}

}  // namespace vh
