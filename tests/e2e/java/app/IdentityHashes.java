package app;

// Prints the identity hash codes of objects it makes, after calls of
// instance methods and constructors of its own classes, and of its own
// class: the same values traced or not.
public class IdentityHashes {
    private final int seed;

    IdentityHashes(int seed) { this.seed = seed; }

    int next(int step) { return seed + step; }

    static final class Holder {
        final Object value = new Object();
        Object value() { return value; }
    }

    public static void main(String[] args) {
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < 4; i++) {
            IdentityHashes own = new IdentityHashes(i);
            Object made = new Holder().value();
            out.append(Integer.toHexString(System.identityHashCode(made))).append(' ');
            out.append(Integer.toHexString(own.next(i))).append(' ');
        }
        out.append("| own ").append(Integer.toHexString(System.identityHashCode(new IdentityHashes(9))));
        out.append(" | class ").append(Integer.toHexString(IdentityHashes.class.hashCode()));
        System.out.println(out);
    }
}
