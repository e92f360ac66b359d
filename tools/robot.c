#include "robot.h"

#include <string.h>

double NowMs(void) {
    static LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    if (!frequency.QuadPart) QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart * 1000.0 / (double)frequency.QuadPart;
}

void WriteJsonString(FILE* out, const char* text) {
    fputc('"', out);
    for (const unsigned char* c = (const unsigned char*)text; *c; ++c) {
        if (*c == '"' || *c == '\\')
            fprintf(out, "\\%c", *c);
        else if (*c < 0x20 || *c > 0x7E)
            fprintf(out, "\\u%04x", *c);
        else
            fputc(*c, out);
    }
    fputc('"', out);
}

static int HasClass(HWND window, const char* name) {
    char found[32];
    return GetClassNameA(window, found, sizeof found) && lstrcmpiA(found, name) == 0;
}

typedef struct {
    HWND windows[32];
    int count;
} WindowList;

static BOOL CALLBACK CollectDialog(HWND window, LPARAM list) {
    WindowList* dialogs = (WindowList*)list;
    if (dialogs->count < 32 && IsWindowVisible(window) && HasClass(window, "#32770"))
        dialogs->windows[dialogs->count++] = window;
    return TRUE;
}

static BOOL CALLBACK CollectButton(HWND child, LPARAM list) {
    WindowList* buttons = (WindowList*)list;
    if (buttons->count < 32 && IsWindowVisible(child) && HasClass(child, "Button"))
        buttons->windows[buttons->count++] = child;
    return TRUE;
}

static BOOL CALLBACK FindIconControl(HWND child, LPARAM found) {
    if (!IsWindowVisible(child) || !HasClass(child, "Static") ||
        (GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON ||
        !SendMessageA(child, STM_GETICON, 0, 0))
        return TRUE;
    *(HWND*)found = child;
    return FALSE;
}

static int SameImage(HDC a, HDC b, int width, int height) {
    int differing = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) differing += GetPixel(a, x, y) != GetPixel(b, x, y);
    return differing * 50 <= width * height;  // at most 2% off
}

// Names the stock icon a dialog shows by comparing its pixels on screen with
// each stock icon drawn on the same background; waits for it to be painted.
static const char* IconKind(HWND dialog) {
    static const struct {
        LPCSTR id;
        const char* name;
    } kKinds[] = {{IDI_QUESTION, "question"},
                  {IDI_INFORMATION, "information"},
                  {IDI_WARNING, "warning"},
                  {IDI_ERROR, "error"}};
    HWND control = NULL;
    EnumChildWindows(dialog, FindIconControl, (LPARAM)&control);
    if (!control) return "none";
    RECT area;
    GetWindowRect(control, &area);
    int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(NULL), shot = CreateCompatibleDC(screen), drawn = CreateCompatibleDC(screen);
    HBITMAP shotBitmap = CreateCompatibleBitmap(screen, width, height);
    HBITMAP drawnBitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ oldShot = SelectObject(shot, shotBitmap), oldDrawn = SelectObject(drawn, drawnBitmap);
    SelectObject(drawn, GetStockObject(DC_BRUSH));
    const char* kind = "unknown";
    for (int attempt = 0; attempt < 40 && !strcmp(kind, "unknown"); ++attempt) {
        if (attempt) Sleep(25);
        BitBlt(shot, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        SetDCBrushColor(drawn, GetPixel(shot, 0, 0));
        for (size_t k = 0; k < sizeof kKinds / sizeof kKinds[0]; ++k) {
            PatBlt(drawn, 0, 0, width, height, PATCOPY);
            DrawIconEx(drawn, 0, 0, LoadIconA(NULL, kKinds[k].id), width, height, 0, NULL,
                       DI_NORMAL);
            if (SameImage(shot, drawn, width, height)) kind = kKinds[k].name;
        }
    }
    SelectObject(shot, oldShot);
    SelectObject(drawn, oldDrawn);
    DeleteObject(shotBitmap);
    DeleteObject(drawnBitmap);
    DeleteDC(shot);
    DeleteDC(drawn);
    ReleaseDC(NULL, screen);
    return kind;
}

// Saves the window as it shows on screen to a 24-bit BMP file.
static void SaveShot(HWND window, const char* path) {
    RECT area;
    GetWindowRect(window, &area);
    int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(NULL), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER info = {sizeof info, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    DWORD stride = ((DWORD)width * 3 + 3) & ~3u, size = stride * (DWORD)height;
    char* pixels = (char*)HeapAlloc(GetProcessHeap(), 0, size);
    FILE* file = fopen(path, "wb");
    if (pixels && file &&
        GetDIBits(memory, bitmap, 0, (UINT)height, pixels, (BITMAPINFO*)&info, DIB_RGB_COLORS)) {
        BITMAPFILEHEADER header = {0x4D42, (DWORD)(sizeof header + sizeof info) + size, 0, 0,
                                   (DWORD)(sizeof header + sizeof info)};
        fwrite(&header, sizeof header, 1, file);
        fwrite(&info, sizeof info, 1, file);
        fwrite(pixels, 1, size, file);
    }
    if (file) fclose(file);
    if (pixels) HeapFree(GetProcessHeap(), 0, pixels);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
}

static void HandleDialog(RobotScript* script, HWND dialog, int index) {
    double seen = NowMs();
    char caption[512] = "", text[1024] = "", shot[MAX_PATH] = "";
    GetWindowTextA(dialog, caption, sizeof caption);
    GetDlgItemTextA(dialog, 0xFFFF, text, sizeof text);
    WindowList buttons = {{0}, 0};
    EnumChildWindows(dialog, CollectButton, (LPARAM)&buttons);
    // Read the buttons before answering: the answer closes the dialog.
    int ids[32];
    char labels[32][64];
    for (int b = 0; b < buttons.count; ++b) {
        ids[b] = GetDlgCtrlID(buttons.windows[b]);
        GetWindowTextA(buttons.windows[b], labels[b], sizeof labels[b]);
    }
    DWORD process = 0;
    GetWindowThreadProcessId(dialog, &process);
    const char* icon = IconKind(dialog);
    if (script->shotDir) {
        SendMessageA(dialog, WM_NCACTIVATE, TRUE, 0);  // draws the caption as active
        Sleep(300);                                    // let the text and buttons finish painting
        snprintf(shot, sizeof shot, "%s\\%s-%02d.bmp", script->shotDir, script->caseName,
                 index + 1);
        SaveShot(dialog, shot);
    }
    // Another program acts while the first dialog is up: it deletes the gate once done.
    if (script->gate && index == 0) {
        CloseHandle(CreateFileA(script->gate, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL));
        while (GetFileAttributesA(script->gate) != INVALID_FILE_ATTRIBUTES &&
               WaitForSingleObject(script->stop, 5) == WAIT_TIMEOUT) {
        }
    }
    int scripted = index < script->answerCount, answer = 0;
    if (!script->manual && buttons.count) {
        answer = ids[0];  // unscripted: the first button
        for (int b = 0; scripted && b < buttons.count; ++b)
            if (ids[b] == script->answers[index]) answer = script->answers[index];
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED),
                     (LPARAM)GetDlgItem(dialog, answer));
    }
    FILE* out = script->transcript;
    fprintf(out, "{\"case\":");
    WriteJsonString(out, script->caseName);
    fprintf(out,
            ",\"event\":\"dialog\",\"t_seen\":%.3f,\"t_answered\":%.3f,\"pid\":%lu,\"caption\":",
            seen, NowMs(), process);
    WriteJsonString(out, caption);
    fprintf(out, ",\"text\":");
    WriteJsonString(out, text);
    fprintf(out, ",\"icon\":\"%s\",\"buttons\":[", icon);
    for (int b = 0; b < buttons.count; ++b) {
        fprintf(out, "%s[%d,", b ? "," : "", ids[b]);
        WriteJsonString(out, labels[b]);
        fputc(']', out);
    }
    fprintf(out, "],\"answer\":%d,\"scripted\":%s,\"shot\":", answer,
            scripted && !script->manual ? "true" : "false");
    WriteJsonString(out, shot);
    fprintf(out, "}\n");
    fflush(out);
}

DWORD WINAPI RunRobot(LPVOID parameter) {
    RobotScript* script = (RobotScript*)parameter;
    WindowList handled = {{0}, 0};
    int seen = 0;
    for (;;) {
        int stopping = WaitForSingleObject(script->stop, 10) == WAIT_OBJECT_0;
        int open = 0;  // keep only the handled dialogs that still exist
        for (int i = 0; i < handled.count; ++i)
            if (IsWindow(handled.windows[i]) && IsWindowVisible(handled.windows[i]))
                handled.windows[open++] = handled.windows[i];
        handled.count = open;
        WindowList dialogs = {{0}, 0};
        EnumWindows(CollectDialog, (LPARAM)&dialogs);
        for (int d = 0; d < dialogs.count; ++d) {
            int known = 0;
            for (int i = 0; i < handled.count; ++i)
                known |= handled.windows[i] == dialogs.windows[d];
            if (known || handled.count == 32) continue;
            handled.windows[handled.count++] = dialogs.windows[d];
            HandleDialog(script, dialogs.windows[d], seen++);
        }
        if (seen >= script->answerCount && handled.count == 0) SetEvent(script->answered);
        if (stopping) return 0;
    }
}
