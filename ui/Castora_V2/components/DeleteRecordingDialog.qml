import QtQuick
import QtQuick.Controls

// Asks before a recording is deleted. The screen deletes on `deleteConfirmed`; Cancel, Escape
// or a press outside only close it. Opened, Cancel has the keyboard focus; Tab goes between the
// two buttons.
Dialog {
    id: deleteDialog

    // The name of the recording awaiting the confirmation; empty, the dialog says "Recording".
    property string pendingDeleteName: ""

    signal deleteConfirmed

    width: 400
    modal: true
    focus: true
    closePolicy: Popup.CloseOnEscape | Popup.CloseOnPressOutside
    padding: 0
    title: qsTr("Delete Recording")
    background: Rectangle {
        color: "#FFFFFF"
        radius: 12
        border.color: "#E0E0E0"
        border.width: 1
    }

    Column {
        width: parent.width
        spacing: 20
        padding: 24

        Text {
            anchors.horizontalCenter: parent.horizontalCenter
            width: parent.width - 48
            text: qsTr("Are you sure you want to delete this recording?")
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            color: "#666666"
            font.pixelSize: 14
            wrapMode: Text.WordWrap
            horizontalAlignment: Text.AlignHCenter
        }

        RemoteText {
            objectName: "deleteName"
            anchors.horizontalCenter: parent.horizontalCenter
            width: parent.width - 48
            text: "\"" + (deleteDialog.pendingDeleteName !== "" ? deleteDialog.pendingDeleteName
                                                                : qsTr("Recording")) + "\""
            color: "#333333"
            font.pixelSize: 14
            font.bold: true
            wrapMode: Text.WordWrap
            maximumLineCount: 3
            elide: Text.ElideMiddle
            horizontalAlignment: Text.AlignHCenter
        }

        Row {
            anchors.horizontalCenter: parent.horizontalCenter
            spacing: 12

            DialogButton {
                id: deleteCancelButton

                objectName: "deleteCancelButton"
                focus: true
                KeyNavigation.tab: deleteConfirmButton
                KeyNavigation.backtab: deleteConfirmButton
                width: 100
                height: 44
                text: qsTr("Cancel")
                fill: "#F0F0F0"
                hoverFill: "#E8E8E8"
                textColor: "#333333"
                boldText: false
                borderColor: "#DDDDDD"
                onClicked: deleteDialog.close()
            }

            DialogButton {
                id: deleteConfirmButton

                objectName: "deleteConfirmButton"
                KeyNavigation.tab: deleteCancelButton
                KeyNavigation.backtab: deleteCancelButton
                width: 100
                height: 44
                text: qsTr("Delete")
                fill: "#D32F2F"
                hoverFill: "#B71C1C"
                onClicked: {
                    deleteDialog.deleteConfirmed();
                    deleteDialog.close();
                }
            }
        }
    }
}
