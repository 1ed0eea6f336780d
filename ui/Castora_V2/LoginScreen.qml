import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import com.StreamController

// Sign-in form, and the waiting screen while a saved session is being checked at start-up.
Page {
    id: screen

    // One of the two form fields: white, rounded, a blue frame while it has the focus.
    component FormField: TextField {
        id: field

        Layout.fillWidth: true
        Layout.preferredHeight: 45
        placeholderTextColor: "#999999"
        color: "#000000"
        font.pixelSize: 13
        verticalAlignment: TextInput.AlignVCenter
        leftPadding: 15
        activeFocusOnTab: true
        Accessible.name: placeholderText
        Accessible.ignored: !visible
        background: Rectangle {
            color: "#FFFFFF"
            radius: 8
            border.color: field.activeFocus ? "#0066CC" : "#E0E0E0"
            border.width: field.activeFocus ? 2 : 1
        }
    }

    // A text that opens a page of the service's web site in the system's browser; a link to
    // screen readers (a Label would be a plain label to them whatever its role).
    component WebLink: Text {
        id: link

        property string url
        readonly property bool mouseOver: linkArea.containsMouse

        Layout.fillWidth: true
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        activeFocusOnTab: true
        Accessible.role: Accessible.Link
        // The words as shown, without their markup.
        Accessible.name: text.replace(/<[^>]*>/g, "").replace(/\n/g, " ")
        Accessible.description: url
        Accessible.ignored: !visible
        Accessible.onPressAction: Qt.openUrlExternally(link.url)
        Keys.onSpacePressed: Qt.openUrlExternally(link.url)
        Keys.onReturnPressed: Qt.openUrlExternally(link.url)
        Keys.onEnterPressed: Qt.openUrlExternally(link.url)

        FocusMark {
            shown: link.activeFocus
        }

        MouseArea {
            id: linkArea

            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            onClicked: Qt.openUrlExternally(link.url)
        }
    }

    // The typed password and whether it is shown go once they have served: at a sign-in, and
    // at a sign-out for the next account.
    function forgetPassword() {
        passwordField.clear();
        passwordField.echoMode = TextInput.Password;
    }

    objectName: "loginScreen"
    Accessible.name: qsTr("Sign in")
    Accessible.ignored: !visible
    // Typing can start at once; back here after a sign-out, too.
    StackView.onActivated: {
        if (!AuthController.startUp)
            userField.forceActiveFocus(Qt.TabFocusReason);
    }

    background: Rectangle {
        color: "#FFFFFF"
    }

    Connections {
        target: AuthController

        // Notified on every assignment, so each successful sign-in pushes exactly one screen.
        // By its address: the broadcast screen and what it imports (the chat socket, the blur,
        // the file chooser) load when it is first shown, not before the first frame.
        function onLoggedInChanged() {
            if (!AuthController.loggedIn)
                return;
            screen.forgetPassword();
            screen.StackView.view.push(Qt.resolvedUrl("BroadcastScreen.qml"));
        }

        function onLoginFailed(message: string) {
            errorToast.show(message);
        }

        function onSignedOut() {
            screen.forgetPassword();
        }
    }

    Column {
        objectName: "waitingGroup"
        anchors.centerIn: parent
        spacing: 16
        visible: AuthController.startUp

        BusyIndicator {
            width: 48
            height: 48
            anchors.horizontalCenter: parent.horizontalCenter
            running: AuthController.startUp
            palette.dark: "#000000"
            Accessible.ignored: true
        }

        Label {
            anchors.horizontalCenter: parent.horizontalCenter
            Accessible.ignored: !visible
            text: qsTr("Checking session")
            font.pixelSize: 13
            color: "#666666"
        }
    }

    ColumnLayout {
        objectName: "signInForm"
        anchors.centerIn: parent
        width: Math.min(screen.width * 0.7, 260)
        spacing: 20
        visible: !AuthController.startUp

        Image {
            Layout.preferredWidth: 80
            Layout.preferredHeight: 80
            Layout.alignment: Qt.AlignHCenter
            source: "icons/logo.png"
            sourceSize.width: 160
            sourceSize.height: 160
            fillMode: Image.PreserveAspectFit
        }

        Label {
            Layout.alignment: Qt.AlignHCenter
            Accessible.ignored: !visible
            text: qsTr("Already have an account? Login")
            font.pixelSize: 14
            font.bold: true
            color: "#000000"
        }

        Item {
            Layout.preferredHeight: 10
        }

        FormField {
            id: userField

            objectName: "userField"
            placeholderText: qsTr("Username or email")
        }

        FormField {
            id: passwordField

            objectName: "passwordField"
            placeholderText: qsTr("Password")
            echoMode: TextInput.Password
            rightPadding: 40

            // An eye that shows or hides the typed password; Tab reaches it after the field.
            AppButton {
                id: visibilityToggle

                readonly property bool hidden: passwordField.echoMode === TextInput.Password

                objectName: "passwordVisibilityToggle"
                width: 20
                height: 20
                anchors.right: parent.right
                anchors.rightMargin: 10
                anchors.verticalCenter: parent.verticalCenter
                padding: 0
                text: hidden ? qsTr("Show password") : qsTr("Hide password")
                Accessible.description: qsTr("Shows or hides the typed password")
                background: null
                contentItem: Image {
                    source: visibilityToggle.hidden ? "icons/visibility_off.png"
                                                    : "icons/visibility_on.png"
                    sourceSize.width: 40
                    sourceSize.height: 40
                    fillMode: Image.PreserveAspectFit
                    opacity: visibilityToggle.pressed ? 0.5 : 0.6
                }
                onClicked: passwordField.echoMode = hidden ? TextInput.Normal : TextInput.Password

                HoverHandler {
                    cursorShape: Qt.PointingHandCursor
                }
            }
        }

        Item {
            Layout.preferredHeight: 10
        }

        AppButton {
            id: signInButton

            objectName: "signInButton"
            Layout.fillWidth: true
            Layout.preferredHeight: 50
            text: AuthController.isLoading ? qsTr("Signing in") : qsTr("Sign In")
            enabled: !AuthController.isLoading
            background: Rectangle {
                color: "#000000"
                radius: 8
            }
            contentItem: Item {
                Row {
                    anchors.centerIn: parent
                    spacing: 8

                    BusyIndicator {
                        width: 20
                        height: 20
                        anchors.verticalCenter: parent.verticalCenter
                        visible: AuthController.isLoading
                        running: AuthController.isLoading
                        palette.dark: "#FFFFFF"
                        Accessible.ignored: true
                    }

                    Text {
                        anchors.verticalCenter: parent.verticalCenter
                        text: signInButton.text
                        color: "#FFFFFF"
                        font.pixelSize: 14
                        font.bold: true
                    }
                }
            }
            // The fields go to the controller exactly as typed; it and the backend answer
            // empty or malformed input.
            onClicked: AuthController.login(userField.text, passwordField.text)
        }

        Item {
            Layout.preferredHeight: 20
        }

        WebLink {
            id: forgotPasswordLink

            objectName: "forgotPasswordLink"
            url: AppLinks.forgotPassword
            text: qsTr("Forgot your password? No worries! You can\nreset it and get back on track.")
            font.pixelSize: 11
            color: forgotPasswordLink.mouseOver ? "#0044AA" : "#0066CC"
        }

        Item {
            Layout.preferredHeight: 20
        }

        WebLink {
            id: signUpLink

            objectName: "signUpLink"
            url: AppLinks.signUp
            textFormat: Text.RichText
            text: qsTr("Don't have an account yet? <b>Sign Up.</b>")
            font.pixelSize: 12
            color: signUpLink.mouseOver ? "#0044AA" : "#000000"
        }
    }

    Rectangle {
        id: errorToast

        // Shows `message`; a new message restarts the whole fade-in, hold, fade-out sequence.
        function show(message: string) {
            toastText.text = message;
            toastSequence.restart();
        }

        objectName: "errorToast"
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        anchors.bottomMargin: 30
        width: toastText.implicitWidth + 40
        height: toastText.implicitHeight + 20
        radius: 8
        color: "#CC3333"
        z: 100
        opacity: 0
        visible: opacity > 0

        Announcement {
            message: toastText.text
        }

        RemoteText {
            id: toastText

            objectName: "errorToastText"
            Accessible.ignored: true
            anchors.centerIn: parent
            horizontalAlignment: Text.AlignHCenter
            color: "#FFFFFF"
            font.pixelSize: 13
            font.bold: true
        }

        SequentialAnimation {
            id: toastSequence

            NumberAnimation {
                target: errorToast
                property: "opacity"
                to: 1
                duration: 200
            }
            PauseAnimation {
                duration: 4000
            }
            NumberAnimation {
                target: errorToast
                property: "opacity"
                to: 0
                duration: 500
            }
        }
    }
}
