#pragma once

#include "ui/Dialogs.h"

#include <QWidget>

class QCheckBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace vellora {

struct AppState;

// 打印记录: what became of every photo the monitor counted, newest first, as
// the print ledger beside the program has it, and 加印 (copies more) of one
// of them; a sheet whose job came to nothing waits here for 重新打印 or
// 放弃. It only reads the ledger (it never makes one); a reprint goes
// through the running monitor when this program monitors, else into the
// ledger for whichever monitor of that folder runs next.
class HistoryWindow : public QWidget
{
    Q_OBJECT
public:
    // programFolder: where the ledger lies; empty: the state's program folder.
    // dialogs: the ones a test answers; unset ones are the real dialogs.
    explicit HistoryWindow(AppState& state, QWidget* parent = nullptr, DialogsPtr dialogs = nullptr,
                           const QString& programFolder = QString());

    // Reads the ledger again with the filters as they are set.
    void refresh();
    // 加印 of the selected photo, as many copies as the spin box says.
    void reprintSelected();

    // 重新打印 / 放弃 of the sheet of the selected photo that waits for the
    // operator (its job came to nothing, or may have printed in part).
    void reprintHeldSheet();
    void giveUpHeldSheet();

    // The ledger photo of the selected row; 0: none.
    qint64 selectedPhotoId() const;
    // Its sheet held for the operator; 0: none.
    qint64 selectedHeldSheet() const;

private:
    void message(const QString& text, const QString& caption, QMessageBox::Icon icon);
    void selectionChanged();
    void decideHeldSheet(bool printAgain);

    AppState& m_state;
    DialogsPtr m_dialogs;
    QString m_programFolder;

    QLineEdit* m_numberEdit = nullptr;
    QCheckBox* m_dateSwitch = nullptr;
    QDateEdit* m_dateEdit = nullptr;
    QPushButton* m_refreshButton = nullptr;
    QTableWidget* m_table = nullptr;
    QLabel* m_listNote = nullptr;
    QSpinBox* m_copiesBox = nullptr;
    QPushButton* m_reprintButton = nullptr;
    QPushButton* m_sheetAgainButton = nullptr;
    QPushButton* m_giveUpButton = nullptr;
    QLabel* m_reprintNote = nullptr;
};

} // namespace vellora
