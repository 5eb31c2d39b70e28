#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QString>

class Ui_SessionMakerWindow;

class SessionMakerWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SessionMakerWindow(QWidget *parent = nullptr);
    ~SessionMakerWindow() override;

public slots:
    void postMessageBox(QString title, QString msg);
    bool writeSession(QString sessionDirName);

private slots:
    void on_actionDelete_triggered();
    void on_action_Export_to_Nelvo_Rec_Session_triggered();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    Ui_SessionMakerWindow *ui;
    QIcon waveIcon;
};
