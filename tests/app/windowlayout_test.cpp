// window.txt: the window's place, splitters and columns between runs.
#include "app/core/WindowLayout.hpp"

#include <gtest/gtest.h>

using namespace app;

TEST(WindowLayout, ReadsWhatItWritesAndRefusesWhatItCannotPlace)
{
    WindowLayout layout;
    layout.geometry = { -20, 40, 1152, 720 };
    layout.maximized = true;
    layout.paneShare = 420;
    layout.rows = { 500, 120, 60 };
    layout.columns = { 250, 60, 55, 80, 90 };
    layout.columnsSet = true;
    layout.localColumns = { 200, 70, 60, 90 };
    EXPECT_EQ(ParseWindowLayout(FormatWindowLayout(layout)), layout);

    const struct {
        const char* text;
        bool usable;
    } files[] = {
        { "geometry=10,20,800,600\n", true },  // the rest keeps its defaults
        { "", false },
        { "maximized=1\r\npanes=400\r\n", false }, // no place
        { "geometry=10,20,800\r\n", false },
        { "geometry=10,20,0,600\r\n", false },
        { "geometry=10,20,800,600x\r\n", false },
        { "geometry=10,20,800,9999999\r\n", false },
        { "\x01\xFF garbage", false },
    };
    for (const auto& f : files)
        EXPECT_EQ(ParseWindowLayout(f.text).has_value(), f.usable) << f.text;
    // A bad list is left out, not guessed at.
    const auto partial = ParseWindowLayout("geometry=1,2,800,600\npanes=1500\nrows=1,x\ncolumns=9,8\n");
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->paneShare, 500);
    EXPECT_TRUE(partial->rows.empty());
    EXPECT_EQ(partial->columns, (std::vector<int> { 9, 8 }));
}

TEST(WindowLayout, PlacedOnlyWhereItsTopEdgeCanBeTakenHold)
{
    const std::vector<WindowRect> screens = { { 0, 0, 1280, 800 }, { 1280, 0, 1920, 1080 } };
    const struct {
        WindowRect window;
        bool on;
    } cases[] = {
        { { 100, 100, 800, 600 }, true },
        { { 2000, 900, 800, 600 }, true },   // on the second screen, its bottom hanging off
        { { -700, 100, 800, 600 }, true },   // 100 pixels of its top still showing
        { { -750, 100, 800, 600 }, false },
        { { 100, -10, 800, 600 }, false },   // title bar above every screen
        { { 3300, 100, 800, 600 }, false },  // a screen that is gone
        { { 100, 790, 800, 600 }, false },
    };
    for (const auto& c : cases)
        EXPECT_EQ(OnSomeScreen(c.window, screens), c.on) << c.window.x << "," << c.window.y;
}

TEST(WindowLayout, FirstStartUsesTheScreen)
{
    EXPECT_EQ(DefaultWindowSize(1280, 770), (WindowRect { 64, 38, 1152, 693 }));
    EXPECT_EQ(DefaultWindowSize(3840, 2160), (WindowRect { 1120, 580, 1600, 1000 }));
    EXPECT_EQ(DefaultWindowSize(800, 600), (WindowRect { 0, 30, 800, 540 }));
}
