package app;

// Forty static methods, so that method identifiers reach two digits.
public class Steps {
    static int total;

    public static void run() {
        s00();
        s01();
        s02();
        s03();
        s04();
        s05();
        s06();
        s07();
        s08();
        s09();
        s10();
        s11();
        s12();
        s13();
        s14();
        s15();
        s16();
        s17();
        s18();
        s19();
        s20();
        s21();
        s22();
        s23();
        s24();
        s25();
        s26();
        s27();
        s28();
        s29();
        s30();
        s31();
        s32();
        s33();
        s34();
        s35();
        s36();
        s37();
        s38();
        s39();
    }

    static void s00() {
        total += 0;
    }

    static void s01() {
        total += 1;
    }

    static void s02() {
        total += 2;
    }

    static void s03() {
        total += 3;
    }

    static void s04() {
        total += 4;
    }

    static void s05() {
        total += 5;
    }

    static void s06() {
        total += 6;
    }

    static void s07() {
        total += 7;
    }

    static void s08() {
        total += 8;
    }

    static void s09() {
        total += 9;
    }

    static void s10() {
        total += 10;
    }

    static void s11() {
        total += 11;
    }

    static void s12() {
        total += 12;
    }

    static void s13() {
        total += 13;
    }

    static void s14() {
        total += 14;
    }

    static void s15() {
        total += 15;
    }

    static void s16() {
        total += 16;
    }

    static void s17() {
        total += 17;
    }

    static void s18() {
        total += 18;
    }

    static void s19() {
        total += 19;
    }

    static void s20() {
        total += 20;
    }

    static void s21() {
        total += 21;
    }

    static void s22() {
        total += 22;
    }

    static void s23() {
        total += 23;
    }

    static void s24() {
        total += 24;
    }

    static void s25() {
        total += 25;
    }

    static void s26() {
        total += 26;
    }

    static void s27() {
        total += 27;
    }

    static void s28() {
        total += 28;
    }

    static void s29() {
        total += 29;
    }

    static void s30() {
        total += 30;
    }

    static void s31() {
        total += 31;
    }

    static void s32() {
        total += 32;
    }

    static void s33() {
        total += 33;
    }

    static void s34() {
        total += 34;
    }

    static void s35() {
        total += 35;
    }

    static void s36() {
        total += 36;
    }

    static void s37() {
        total += 37;
    }

    static void s38() {
        total += 38;
    }

    static void s39() {
        total += 39;
    }
}
