// The first-start window that shows the generated "admin" and "superadmin" passwords once.
// Main (GUI) thread only; no lock.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

namespace vh {

class TformDisplayAdminPw : public QDialog {
  Q_OBJECT

 public:
  explicit TformDisplayAdminPw(QWidget* parent = nullptr);

  void SetPasswords(const QString& adminPassword, const QString& superAdminPassword);

  QLineEdit* AdminPassword() const { return adminPassword_; }
  QLineEdit* SuperAdminPassword() const { return superAdminPassword_; }
  QPushButton* CloseButton() const { return close_; }

 private:
  QLineEdit* adminPassword_;
  QLineEdit* superAdminPassword_;
  QPushButton* close_;
};

}  // namespace vh
