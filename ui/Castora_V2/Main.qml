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

    Component.onCompleted: UpdateController.checkForUpdate()
}
