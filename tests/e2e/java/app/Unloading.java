package app;

import java.lang.ref.WeakReference;
import java.net.URL;
import java.net.URLClassLoader;
import java.util.function.IntUnaryOperator;

// Loads plugin classes through a class loader of its own, drops it until
// the classes are unloaded, then loads them again and calls them once more.
public class Unloading {
    public static void main(String[] args) throws Exception {
        URL classes = Unloading.class.getProtectionDomain().getCodeSource().getLocation();
        int calls = Integer.parseInt(args[0]);
        for (int round = 0; round < 3; round++) {
            String name = round == 1 ? "app.PluginB" : "app.PluginA";
            WeakReference<Class<?>> loaded = callPlugin(classes, name, calls);
            for (int i = 0; i < 50 && loaded.get() != null; i++) {
                System.gc();
                Thread.sleep(20);
            }
            System.out.println(name + (loaded.get() == null ? " unloaded" : " still loaded"));
        }
    }

    private static WeakReference<Class<?>> callPlugin(URL classes, String name, int calls)
            throws Exception {
        try (URLClassLoader loader =
                new URLClassLoader(new URL[] {classes}, ClassLoader.getPlatformClassLoader())) {
            Class<?> cls = loader.loadClass(name);
            IntUnaryOperator plugin = (IntUnaryOperator) cls.getDeclaredConstructor().newInstance();
            int sum = 0;
            for (int i = 0; i < calls; i++) sum += plugin.applyAsInt(i);
            System.out.println(name + " sum " + sum);
            return new WeakReference<>(cls);
        }
    }
}
