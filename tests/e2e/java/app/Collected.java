package app;

import java.lang.ref.WeakReference;

// Lets go of an object whose method it called last, then asks for a
// collection: the object is collected, traced or not.
public class Collected {
    int touch() { return 1; }

    public static void main(String[] args) {
        Collected last = new Collected();
        int touched = last.touch();
        WeakReference<Collected> ref = new WeakReference<>(last);
        last = null;
        for (int i = 0; i < 5 && ref.get() != null; i++) System.gc();
        System.out.println(touched + (ref.get() == null ? " collected" : " kept alive"));
    }
}
