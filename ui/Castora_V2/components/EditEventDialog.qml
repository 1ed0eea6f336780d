import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import com.StreamController
import "ScreenLogic.js" as Logic

// Renames the event and picks a new event image. The screen that shows it sends the result on
// and closes it once the update went through. Shown, it has the keyboard focus: Tab goes round
// its field and buttons, Escape cancels.
Rectangle {
    id: dialog

    // The chosen image as the file dialog gives it (a file URL as text); kept across openings.
    property string selectedImageFile: ""

    signal saved(string eventName, string filePath)
    signal cancelled

    color: "#80000000"
    onVisibleChanged: {
        if (visible)
            nameField.forceActiveFocus(Qt.TabFocusReason);
    }
    Keys.onEscapePressed: dialog.cancelled()
    Accessible.role: Accessible.Dialog
    Accessible.name: qsTr("Edit Event")
    Accessible.ignored: !visible

    // A white-grey box with a thin frame, as the name field and the image button are drawn.
    component FieldBox: Rectangle {
        color: "#F5F5F5"
        radius: 8
        border.color: "#DDDDDD"
        border.width: 1
    }

    Rectangle {
        id: card

        objectName: "editEventCard"
        anchors.centerIn: parent
        width: 550
        height: 400
        color: "#FFFFFF"
        radius: 20

        // Clicks on the card stay on the card; only those beside it reach the screen.
        MouseArea {
            anchors.fill: parent
        }

        Column {
            anchors.centerIn: parent
            width: card.width * 0.85
            spacing: 25

            Label {
                anchors.horizontalCenter: parent.horizontalCenter
                Accessible.ignored: true
                text: qsTr("Edit Event")
                font.pixelSize: 24
                font.bold: true
            }

            Column {
                width: parent.width
                spacing: 8

                // The field and the button below carry these names for screen readers.
                Label {
                    Accessible.ignored: true
                    text: qsTr("Event Name")
                    font.pixelSize: 13
                    color: "#333333"
                }

                FieldBox {
                    width: parent.width
                    height: 45

                    // Follows the stream title until the user types; then keeps the typed
                    // text, also when the title changes afterwards (typing alone does not end
                    // a binding of `text`).
                    TextField {
                        id: nameField

                        // The user has typed in the field.
                        property bool edited: false

                        objectName: "eventNameField"
                        anchors.fill: parent
                        anchors.margins: 12
                        padding: 0
                        onTextEdited: nameField.edited = true
                        placeholderText: qsTr("Enter event name...")
                        placeholderTextColor: "#999999"
                        color: "#000000"
                        font.pixelSize: 13
                        verticalAlignment: TextInput.AlignVCenter
                        selectByMouse: true
                        activeFocusOnTab: true
                        background: null
                        KeyNavigation.backtab: cancelButton
                        Accessible.name: qsTr("Event Name")
                        Accessible.ignored: !visible

                        FocusMark {
                            anchors.margins: -12
                            shown: nameField.activeFocus
                        }

                        Binding on text {
                            value: StreamController.streamTitle
                            when: !nameField.edited
                            restoreMode: Binding.RestoreNone
                        }
                    }
                }
            }

            Column {
                width: parent.width
                spacing: 8

                Label {
                    Accessible.ignored: true
                    text: qsTr("Event Image")
                    font.pixelSize: 13
                    color: "#333333"
                }

                FileDialog {
                    id: imageDialog

                    title: qsTr("Please choose an image")
                    nameFilters: [qsTr("Image files (*.png *.jpg *.jpeg)")]
                    onAccepted: dialog.selectedImageFile = String(selectedFile)
                }

                AppButton {
                    objectName: "chooseImageButton"
                    width: parent.width
                    height: 45
                    text: qsTr("Event Image")
                    Accessible.description: dialog.selectedImageFile !== ""
                                            ? dialog.selectedImageFile
                                            : qsTr("Choose Image File...")
                    background: FieldBox {}
                    contentItem: Item {
                        Row {
                            anchors.left: parent.left
                            anchors.leftMargin: 12
                            anchors.right: parent.right
                            anchors.verticalCenter: parent.verticalCenter
                            spacing: 10

                            Text {
                                anchors.verticalCenter: parent.verticalCenter
                                text: "📁"
                                font.family: Logic.emojiFont
                                font.pixelSize: 18
                            }

                            Text {
                                objectName: "chosenImageText"
                                anchors.verticalCenter: parent.verticalCenter
                                width: parent.width - 40
                                text: dialog.selectedImageFile !== "" ? dialog.selectedImageFile
                                                                      : qsTr("Choose Image File...")
                                color: "#666666"
                                font.pixelSize: 13
                                elide: Text.ElideMiddle
                            }
                        }
                    }
                    onClicked: imageDialog.open()
                }
            }

            Column {
                width: parent.width
                spacing: 12

                AppButton {
                    id: saveButton

                    objectName: "saveEventButton"
                    width: parent.width
                    height: 50
                    text: StreamController.isLoading ? "" : qsTr("Save Changes")
                    Accessible.name: qsTr("Save Changes")
                    enabled: !StreamController.isLoading
                    background: Rectangle {
                        color: StreamController.isLoading ? "#00202e" : "#000000"
                        radius: 8
                    }
                    contentItem: Item {
                        Text {
                            anchors.centerIn: parent
                            text: saveButton.text
                            visible: !StreamController.isLoading
                            color: "#FFFFFF"
                            font.pixelSize: 14
                            font.bold: true
                        }

                        BusyIndicator {
                            anchors.centerIn: parent
                            width: 30
                            height: 30
                            visible: StreamController.isLoading
                            running: StreamController.isLoading
                            Accessible.ignored: true
                        }
                    }
                    onClicked: {
                        console.debug("Event saved:", nameField.text);
                        dialog.saved(nameField.text, dialog.selectedImageFile);
                    }
                }

                AppButton {
                    id: cancelButton

                    objectName: "cancelEventButton"
                    KeyNavigation.tab: nameField
                    width: parent.width
                    height: 50
                    text: qsTr("Cancel")
                    background: Rectangle {
                        color: "#CC3333"
                        radius: 8
                        border.color: "#DDDDDD"
                        border.width: 1
                    }
                    contentItem: Text {
                        text: cancelButton.text
                        color: "#FFFFFF"
                        font.pixelSize: 14
                        horizontalAlignment: Text.AlignHCenter
                        verticalAlignment: Text.AlignVCenter
                    }
                    onClicked: dialog.cancelled()
                }
            }
        }
    }
}
