package app;

// A call chain a few thousand frames deep.
public class Recursion {
    public static void main(String[] args) {
        new Recursion().down(Integer.parseInt(args[0]));
    }

    int down(int n) {
        return n == 0 ? 0 : 1 + down(n - 1);
    }
}
