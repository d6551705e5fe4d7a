#include "shell/widget_messages.h"

#include "core/app_paths.h"

#include <QFileDialog>
#include <QMessageBox>

namespace varek {

namespace {

int showBox(QWidget* parent, QMessageBox::Icon icon, const QString& caption, const QString& text,
            QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
    QMessageBox box(icon, caption, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

} // namespace

void WidgetMessages::plain(const QString& text) {
    showBox(m_parent, QMessageBox::NoIcon, applicationTitle(), text, QMessageBox::Ok, QMessageBox::Ok);
}

void WidgetMessages::errorReport(const QString& text) {
    showBox(m_parent, QMessageBox::Critical, applicationTitle(), text, QMessageBox::Ok, QMessageBox::Ok);
}

bool WidgetMessages::confirm(const QString& caption, const QString& text) {
    return showBox(m_parent, QMessageBox::Question, caption, text, QMessageBox::Ok | QMessageBox::Cancel,
                   QMessageBox::Ok) == QMessageBox::Ok;
}

bool WidgetMessages::question(const QString& text) {
    return showBox(m_parent, QMessageBox::Question, applicationTitle(), text,
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

QString WidgetMessages::openFileName(const QString& initialDir, const QString& defaultSuffix) {
    QFileDialog dialog(m_parent, QString(), initialDir);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
}

QString WidgetMessages::saveFileName(const QString& initialDir) {
    QFileDialog dialog(m_parent, QString(), initialDir);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // Replacing an existing dump file is what saving means here: no question.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().constFirst();
}

} // namespace varek
