pragma ComponentBehavior: Bound

import QtQuick
import QtQuick.Controls
import com.StreamController
import "ScreenLogic.js" as Logic
import "EmojiList.js" as EmojiList

// The channel's chat beside the microphone panel: bubbles of the history and of live messages
// (the broadcaster's own on the right), an input with an emoji picker, and the send button.
Column {
    id: panel

    // The broadcast screen's chat socket, through which messages go out.
    property ChatSocket socket
    // 1 until the first message has been sent: that one joins the room.
    property int joinValue: 1

    // Adds the typed message to the list at once and sends it to the room; white space alone
    // is neither shown nor sent. The frame is lost while the socket is not open.
    function send() {
        const text = messageInput.text;
        if (!Logic.hasText(text))
            return;
        // Ids of own messages are the time in milliseconds, wrapped to 32 bits.
        ChatController.addMessage(Date.now() | 0, StreamController.ChannelSlug, text);
        if (panel.socket)
            panel.socket.sendTextMessage(ChatProtocol.outgoingFrame(StreamController.ChannelSlug,
                                                                    text, panel.joinValue));
        messageInput.clear();
        panel.joinValue += 1;
    }

    // Has screen readers say a listener's message that has just arrived.
    function announce(sender: string, text: string) {
        newMessage.message = Logic.spokenMessage(sender, text);
    }

    spacing: 0

    Rectangle {
        width: panel.width
        height: 50
        color: "#000000"

        Text {
            anchors.centerIn: parent
            text: qsTr("CHAT")
            color: "#FFFFFF"
            font.pixelSize: 13
        }

        Announcement {
            id: newMessage

            objectName: "newMessageAnnouncement"
        }
    }

    Rectangle {
        width: panel.width
        height: 280
        color: "#2D2D2D"

        // Runs once the current event has been handled.
        Timer {
            id: scrollToEnd

            interval: 0
            onTriggered: messageList.positionViewAtEnd()
        }

        ListView {
            id: messageList

            objectName: "messageList"
            anchors.fill: parent
            anchors.margins: 10
            spacing: 15
            clip: true
            model: ChatController
            Accessible.role: Accessible.List
            Accessible.name: qsTr("Chat messages")
            Accessible.ignored: !visible
            // Kept at the newest message, once the new row has been laid out.
            onCountChanged: scrollToEnd.restart()
            Component.onCompleted: scrollToEnd.restart()

            delegate: Item {
                id: row

                required property string sender
                required property string messageText
                required property string createdAt
                readonly property bool own: sender === StreamController.ChannelSlug

                width: ListView.view.width
                height: bubble.height + 4
                // One entry for screen readers: who, when, what (the texts inside are not
                // exposed on their own).
                Accessible.role: Accessible.ListItem
                Accessible.name: Logic.format(qsTr("%1, %2: %3"),
                                              [row.sender, row.createdAt, row.messageText])

                Rectangle {
                    id: bubble

                    objectName: "bubble"
                    // As wide as the sender line allows, never more than 80 % of the row; the
                    // message wraps inside.
                    width: Math.min(senderLine.implicitWidth + 60, row.width * 0.8)
                    height: bubbleRow.height + 14
                    anchors.right: row.own ? parent.right : undefined
                    anchors.left: row.own ? undefined : parent.left
                    radius: 10
                    color: row.own ? "#6e2121" : "#3A3A3A"

                    Row {
                        id: bubbleRow

                        anchors.left: parent.left
                        anchors.right: parent.right
                        anchors.top: parent.top
                        anchors.margins: 7
                        spacing: 8
                        layoutDirection: row.own ? Qt.RightToLeft : Qt.LeftToRight

                        Rectangle {
                            anchors.verticalCenter: parent.verticalCenter
                            width: 32
                            height: 32
                            radius: 16
                            color: row.own ? "#8f0909" : "#D4A574"

                            RemoteText {
                                objectName: "avatarLetter"
                                Accessible.ignored: true
                                anchors.centerIn: parent
                                text: Logic.avatarLetter(row.sender)
                                color: "#FFFFFF"
                                font.pixelSize: 16
                                font.bold: true
                            }
                        }

                        Column {
                            width: bubble.width - 32 - 30
                            spacing: 2

                            Row {
                                id: senderLine

                                spacing: 6
                                layoutDirection: bubbleRow.layoutDirection

                                RemoteText {
                                    id: senderText

                                    objectName: "senderText"
                                    Accessible.ignored: true
                                    text: row.sender
                                    color: "#FFFFFF"
                                    font.pixelSize: 11
                                    font.bold: true
                                }

                                RemoteText {
                                    objectName: "createdAtText"
                                    Accessible.ignored: true
                                    anchors.baseline: senderText.baseline
                                    text: row.createdAt
                                    color: "#999999"
                                    font.pixelSize: 9
                                }
                            }

                            Text {
                                objectName: "messageText"
                                width: parent.width
                                textFormat: Text.RichText
                                text: Logic.emojiRichText(row.messageText)
                                color: "#E0E0E0"
                                font.pixelSize: 10
                                wrapMode: Text.Wrap
                                horizontalAlignment: row.own ? Text.AlignRight : Text.AlignLeft
                            }
                        }
                    }
                }
            }
        }
    }

    Rectangle {
        width: panel.width
        height: 50
        color: "#8B0000"

        Rectangle {
            anchors.centerIn: parent
            width: panel.width - 20
            height: 40
            radius: 20
            color: "#FFFFFF"

            Row {
                id: inputRow

                anchors.fill: parent
                anchors.leftMargin: 15
                anchors.rightMargin: 10
                spacing: 10

                // Return (or Enter) sends, as in every chat; with Shift it does nothing (the
                // input is one line).
                TextField {
                    id: messageInput

                    objectName: "messageInput"
                    anchors.verticalCenter: parent.verticalCenter
                    width: inputRow.width - 60
                    placeholderText: qsTr("Type a message...")
                    placeholderTextColor: "#999999"
                    background: null
                    font.pixelSize: 11
                    color: "#000000"
                    verticalAlignment: TextInput.AlignVCenter
                    selectByMouse: true
                    activeFocusOnTab: true
                    Accessible.name: qsTr("Message")
                    Accessible.ignored: !visible
                    Keys.onReturnPressed: event => {
                        if (!(event.modifiers & Qt.ShiftModifier))
                            panel.send();
                    }
                    Keys.onEnterPressed: event => {
                        if (!(event.modifiers & Qt.ShiftModifier))
                            panel.send();
                    }

                    FocusMark {
                        anchors.leftMargin: -15
                        shown: messageInput.activeFocus
                    }
                }

                Row {
                    anchors.verticalCenter: parent.verticalCenter
                    spacing: 5

                    // A click opens the picker and leaves the focus in the input; pressed from
                    // the keyboard, the focus goes into the picker's grid (arrow keys, Space or
                    // Return to insert, Escape to close).
                    AppButton {
                        id: emojiButton

                        objectName: "emojiButton"
                        anchors.verticalCenter: parent.verticalCenter
                        padding: 0
                        text: qsTr("Emoji")
                        Accessible.description: qsTr("Opens the emoji picker")
                        background: null
                        contentItem: Text {
                            text: "😊"
                            font.family: Logic.emojiFont
                            font.pixelSize: 16
                        }
                        onClicked: {
                            emojiPicker.fromKeyboard = emojiButton.visualFocus;
                            emojiPicker.open();
                            if (emojiPicker.fromKeyboard)
                                emojiGrid.forceActiveFocus(Qt.TabFocusReason);
                            else
                                messageInput.forceActiveFocus();
                        }

                        HoverHandler {
                            cursorShape: Qt.PointingHandCursor
                        }

                        Popup {
                            id: emojiPicker

                            // Opened from the keyboard: closed, the focus goes back to the button.
                            property bool fromKeyboard: false

                            objectName: "emojiPicker"
                            x: -width + 20
                            y: -height - 10
                            width: 250
                            height: 200
                            padding: 10
                            focus: true
                            onClosed: {
                                if (fromKeyboard)
                                    emojiButton.forceActiveFocus(Qt.TabFocusReason);
                            }
                            background: Rectangle {
                                color: "#FFFFFF"
                                radius: 10
                                border.color: "#DDDDDD"
                                border.width: 1
                            }

                            GridView {
                                id: emojiGrid

                                // Puts `emoji` into the input at the cursor.
                                function insert(emoji: string) {
                                    messageInput.insert(messageInput.cursorPosition, emoji);
                                }

                                function insertCurrent() {
                                    insert(EmojiList.standardEmojis[currentIndex]);
                                }

                                objectName: "emojiGrid"
                                anchors.fill: parent
                                clip: true
                                cellWidth: 35
                                cellHeight: 35
                                model: EmojiList.standardEmojis
                                keyNavigationEnabled: true
                                highlightFollowsCurrentItem: true
                                highlight: Rectangle {
                                    color: "transparent"
                                    radius: 6
                                    border.color: "#3D8BFD"
                                    border.width: 2
                                    visible: emojiGrid.activeFocus
                                }
                                Accessible.role: Accessible.List
                                Accessible.name: qsTr("Emoji")
                                Keys.onSpacePressed: insertCurrent()
                                Keys.onReturnPressed: insertCurrent()
                                Keys.onEnterPressed: insertCurrent()

                                delegate: Text {
                                    id: emojiCell

                                    required property string modelData

                                    objectName: "emojiCell"
                                    width: 35
                                    height: 35
                                    text: modelData
                                    font.family: Logic.emojiFont
                                    font.pixelSize: 20
                                    horizontalAlignment: Text.AlignHCenter
                                    verticalAlignment: Text.AlignVCenter
                                    Accessible.role: Accessible.Button
                                    Accessible.name: modelData
                                    Accessible.onPressAction: emojiGrid.insert(emojiCell.modelData)

                                    MouseArea {
                                        anchors.fill: parent
                                        cursorShape: Qt.PointingHandCursor
                                        onClicked: {
                                            emojiGrid.insert(emojiCell.modelData);
                                            messageInput.forceActiveFocus();
                                        }
                                    }
                                }
                            }
                        }
                    }

                    AppButton {
                        objectName: "sendButton"
                        anchors.verticalCenter: parent.verticalCenter
                        padding: 0
                        text: qsTr("Send")
                        Accessible.description: qsTr("Sends the message to the channel's chat")
                        background: null
                        contentItem: Text {
                            text: "➤"
                            font.pixelSize: 24
                            color: "#CC3333"
                        }
                        onClicked: panel.send()

                        HoverHandler {
                            cursorShape: Qt.PointingHandCursor
                        }
                    }
                }
            }
        }
    }
}
