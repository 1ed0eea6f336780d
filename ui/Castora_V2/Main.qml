import QtQuick
import QtQuick.Controls
import com.StreamController

// The program's only window: every screen goes through `stackView`; the update prompt lies
// above all of them.
Window {
    id: window

    width: 900
    height: 700
    minimumWidth: 900
    maximumWidth: 900
    minimumHeight: 700
    maximumHeight: 700
    visible: true
    title: qsTr("Castora")

    StackView {
        id: stackView

        objectName: "stackView"
        anchors.fill: parent
        initialItem: loginScreen
    }

    Component {
        id: loginScreen

        LoginScreen {}
    }

    UpdateDialog {
        objectName: "updateDialog"
        anchors.fill: parent
        z: 999
    }

    // Said once, at start-up, when the recordings library had to be started anew (the library
    // may open after the window is shown).
    Connections {
        target: RecordingController

        function onDatabaseNoticeChanged() {
            if (RecordingController.databaseNotice !== "")
                noticeToast.show(RecordingController.databaseNotice);
        }
    }

    Toast {
        id: noticeToast

        objectName: "databaseNotice"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 30
        width: 600
        textWidth: width - 24
        height: label.height + 24
        holdTime: 10000
        radius: 8
        color: "#CC3333"
        z: 998
    }

    Component.onCompleted: {
        UpdateController.checkForUpdate();
        if (RecordingController.databaseNotice !== "")
            noticeToast.show(RecordingController.databaseNotice);
    }
}
