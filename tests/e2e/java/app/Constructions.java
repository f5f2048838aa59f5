package app;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.ObjectInputStream;
import java.io.ObjectOutputStream;
import java.io.Serializable;

// Objects made every way a constructor can be reached, each then used, so
// that its calls name it: chains of super and this calls with objects made
// in their arguments, a subclass the filter hides, superclasses the filter
// hides, reflection, deserialization, JNI (when the library's path is given
// in the property kelmora.native), constructors that throw before and after
// their super call, a superclass whose constructor is too large to be
// rewritten (when app.MakesOnBig was built), lambdas and method handles,
// and, with the argument "threads", two threads constructing at once. It begins with identity hash
// codes of objects it made.
public class Constructions {
    static class Part {
        final int n;

        Part(int n) { this.n = n; }

        int n() { return n; }
    }

    static class Root {
        final Object held;

        Root(Object held) { this.held = held; }

        Object held() { return held; }
    }

    static class Middle extends Root {
        Middle(Object held) { super(new Part(held instanceof Part ? ((Part) held).n() + 1 : 0)); }

        Middle() { this(new Part(8)); }
    }

    static class Leaf extends Middle {
        Leaf() { super(new Part(9)); }

        Leaf(int n) { this(); }

        int depth() { return ((Part) held()).n(); }
    }

    // Filtered by the tests: its events are dropped, and so are those of
    // Root's constructor and methods called on it.
    static class Hidden extends Root {
        Hidden() { super("hidden"); }
    }

    public static class Reflected extends Root {
        public Reflected() { super("reflected"); }
    }

    // Its first superclass that is not serializable, whose constructor
    // deserialization runs on the new object.
    static class Plain {
        int made;

        Plain() { made = 1; }

        int made() { return made; }
    }

    static class Stored extends Plain implements Serializable {
        private static final long serialVersionUID = 1L;
        final String text;

        Stored(String text) { this.text = text; }

        String text() { return text; }
    }

    static class Failing extends Root {
        Failing(int n) {
            super(check(n));
            if (n > 1) throw new IllegalStateException("after its super call");
        }

        Failing(int[] values) { super(values[3]); }

        static Object check(int n) {
            if (n < 0) throw new IllegalArgumentException("before its super call");
            return n;
        }
    }

    // Superclasses the JDK filter hides: one whose constructor can hand the
    // object to no other code, one whose constructor calls its methods.
    static class Listed extends java.util.AbstractList<String> {
        @Override public String get(int index) { return "listed"; }

        @Override public int size() { return 1; }
    }

    static class Problem extends RuntimeException {
        Problem() { super("problem"); }

        @Override public synchronized Throwable fillInStackTrace() { return this; }
    }

    static native Object makeByJni(Class<?> type);

    static String build(int rounds) {
        StringBuilder out = new StringBuilder();
        for (int i = 0; i < rounds; i++) {
            Leaf leaf = i % 2 == 0 ? new Leaf() : new Leaf(i);
            out.append(leaf.depth());
            Middle middle = new Middle();
            out.append(((Part) middle.held()).n());
        }
        return out.toString();
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("threads")) {
            Thread[] threads = new Thread[2];
            String[] results = new String[threads.length];
            for (int t = 0; t < threads.length; t++) {
                int slot = t;
                threads[t] = new Thread(() -> results[slot] = build(300));
                threads[t].start();
            }
            for (Thread thread : threads) thread.join();
            System.out.println(results[0].equals(results[1]) ? "threads agree" : "threads differ");
            return;
        }
        // Identity hashes of objects made with others in their super and this
        // calls' arguments, first (before the JDK loads classes of its own
        // that its archive lacks, which with a class-loading hook on takes
        // hashes from JDK 20).
        Leaf leaf = new Leaf();
        Middle middle = new Middle();
        StringBuilder hashes = new StringBuilder("hashes");
        for (Object made : new Object[] {leaf, leaf.held(), middle, middle.held(), new Object()}) {
            hashes.append(' ').append(Integer.toHexString(System.identityHashCode(made)));
        }
        System.out.println(hashes);
        System.out.println("built " + build(250).length());
        System.out.println("hidden " + new Hidden().held());
        System.out.println("filtered supers " + new Listed().get(0) + " " + new Problem().getMessage());

        Reflected reflected = Reflected.class.getDeclaredConstructor().newInstance();
        System.out.println("reflected " + reflected.held());

        ByteArrayOutputStream bytes = new ByteArrayOutputStream();
        try (ObjectOutputStream out = new ObjectOutputStream(bytes)) {
            out.writeObject(new Stored("kept"));
        }
        try (ObjectInputStream in = new ObjectInputStream(new ByteArrayInputStream(bytes.toByteArray()))) {
            Stored stored = (Stored) in.readObject();
            System.out.println("stored " + stored.text() + " " + stored.made());
        }

        for (int n : new int[] {-1, 1, 2}) {
            try {
                System.out.println("failing " + new Failing(n).held());
            } catch (RuntimeException e) {
                System.out.println("failing " + n + ": " + e.getMessage());
            }
        }
        try {
            new Failing(new int[] {1});
        } catch (ArrayIndexOutOfBoundsException e) {
            System.out.println("failing: out of bounds");
        }

        String library = System.getProperty("kelmora.native");
        if (library != null) {
            System.load(library);
            Object made = makeByJni(Reflected.class);
            System.out.println("jni " + ((Reflected) made).held());
        }

        try {
            Object big = Class.forName("app.MakesOnBig").getMethod("make").invoke(null);
            System.out.println("big " + ((Root) big).held());
        } catch (ClassNotFoundException e) {
            System.out.println("no big class");
        }
        System.out.println(madeByLambdasAndHandles(200));
    }

    // Objects of lambdas' classes (which the JDK defines as hidden classes),
    // objects such a class makes, and objects made through a method handle.
    static String madeByLambdasAndHandles(int rounds) {
        java.util.function.IntFunction<Part> maker = Part::new;
        int total = 0;
        try {
            java.lang.invoke.MethodHandle plain = java.lang.invoke.MethodHandles.lookup()
                    .findConstructor(Plain.class, java.lang.invoke.MethodType.methodType(void.class));
            for (int i = 0; i < rounds; i++) {
                int step = i;
                java.util.function.IntUnaryOperator add = n -> n + step;
                total += add.applyAsInt(maker.apply(i).n());
                total += ((Plain) plain.invoke()).made();
            }
        } catch (Throwable e) {
            return "handles: " + e;
        }
        return "lambdas " + total;
    }
}
